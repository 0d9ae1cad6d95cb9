#include "scene/parameter_docs.h"

#include <sstream>
#include <vector>

namespace orn::scene {

namespace {

// Backticks and bold marks dropped, [text](target) reduced to its text.
std::string plain(const std::string& md) {
    std::string out;
    for (size_t i = 0; i < md.size(); ++i) {
        const char c = md[i];
        if (c == '`') continue;
        if (c == '*' && i + 1 < md.size() && md[i + 1] == '*') {
            ++i;
            continue;
        }
        if (c == ']' && i + 1 < md.size() && md[i + 1] == '(') {
            const size_t close = md.find(')', i);
            if (close != std::string::npos) {
                i = close;
                continue;
            }
        }
        if (c == '[') continue;
        out += c;
    }
    return out;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// "| a | b |" -> {"a", "b"}; a bar inside backticks belongs to the cell.
std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    std::string cell;
    bool code = false;
    for (size_t i = 1; i < row.size(); ++i) {
        const char c = row[i];
        if (c == '`') code = !code;
        if (c == '|' && !code) {
            out.push_back(trim(cell));
            cell.clear();
        } else {
            cell += c;
        }
    }
    return out;
}

// The first sentence: up to a full stop that ends a word and is followed by a space.
std::string first_sentence(const std::string& text) {
    for (size_t at = text.find(". "); at != std::string::npos; at = text.find(". ", at + 1)) {
        // "e.g. " and "i.e. " do not end a sentence.
        if (at >= 3 && text[at - 2] == '.') continue;
        return text.substr(0, at + 1);
    }
    return text;
}

} // namespace

ParameterMeanings parse_parameter_meanings(const std::string& markdown) {
    ParameterMeanings out;
    std::istringstream in(markdown);
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            const std::string title = trim(line.substr(3));
            section = title.size() > 2 && title.front() == '`' && title.back() == '`'
                          ? title.substr(1, title.size() - 2)
                          : std::string();
            continue;
        }
        if (section.empty() || line.rfind("| `", 0) != 0) continue;
        const auto row = cells(line);
        if (row.size() != 4) continue;
        const std::string meaning = first_sentence(trim(plain(row[3])));
        // The first cell names one parameter or several: "`a`, `b`".
        for (size_t at = row[0].find('`'); at != std::string::npos;) {
            const size_t end = row[0].find('`', at + 1);
            if (end == std::string::npos) break;
            out[section][row[0].substr(at + 1, end - at - 1)] = meaning;
            at = row[0].find('`', end + 1);
        }
    }
    return out;
}

} // namespace orn::scene
