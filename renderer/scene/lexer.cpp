#include "scene/lexer.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

namespace orn::scene {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_word_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}
bool is_word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

} // namespace

bool Token::is_integer() const {
    if (kind != Kind::Number) return false;
    for (char c : text)
        if (c == '.' || c == 'e' || c == 'E') return false;
    return true;
}

std::string Token::describe() const {
    switch (kind) {
    case Kind::Word:
    case Kind::Punct:
        return '"' + text + '"';
    case Kind::String:
        return "string \"" + text + '"';
    case Kind::Number:
        return text;
    case Kind::End:
        return "end of file";
    case Kind::Error:
        return text;
    }
    return text;
}

Lexer::Lexer(std::string text, std::string file) : text_(std::move(text)), file_(std::move(file)) {}

char Lexer::peek(size_t ahead) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
}

void Lexer::advance() {
    if (pos_ >= text_.size()) return;
    if (text_[pos_] == '\n') {
        ++line_;
        col_ = 1;
    } else {
        ++col_;
    }
    ++pos_;
}

void Lexer::skip_space_and_comments() {
    while (pos_ < text_.size()) {
        char c = peek();
        if (c == '#') {
            while (pos_ < text_.size() && peek() != '\n')
                advance();
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            advance();
        } else {
            break;
        }
    }
}

Token Lexer::make(Token::Kind kind, std::string text, const SourceLoc& loc) const {
    Token t;
    t.kind = kind;
    t.text = std::move(text);
    t.loc = loc;
    return t;
}

Token Lexer::next() {
    skip_space_and_comments();
    SourceLoc loc{file_, line_, col_};
    if (pos_ >= text_.size()) return make(Token::Kind::End, "", loc);

    char c = peek();
    if (c == '"') return lex_string(loc);
    if (is_digit(c) ||
        ((c == '-' || c == '+' || c == '.') && (is_digit(peek(1)) || (peek(1) == '.' && is_digit(peek(2))))))
        return lex_number(loc);
    if (is_word_start(c)) return lex_word(loc);
    switch (c) {
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
    case ',':
    case '=':
        advance();
        return make(Token::Kind::Punct, std::string(1, c), loc);
    default:
        break;
    }
    std::string shown =
        std::isprint(static_cast<unsigned char>(c))
            ? std::string(1, c)
            : "\\x" + std::string(1, "0123456789abcdef"[(c >> 4) & 15]) + "0123456789abcdef"[c & 15];
    return make(Token::Kind::Error, "unexpected character \"" + shown + "\"", loc);
}

Token Lexer::lex_string(const SourceLoc& loc) {
    advance(); // opening quote
    std::string value;
    while (true) {
        char c = peek();
        if (pos_ >= text_.size() || c == '\n') return make(Token::Kind::Error, "unterminated string", loc);
        advance();
        if (c == '"') break;
        if (c == '\\') {
            char e = peek();
            if (pos_ >= text_.size() || e == '\n')
                return make(Token::Kind::Error, "unterminated string", loc);
            advance();
            switch (e) {
            case '"':
                value += '"';
                break;
            case '\\':
                value += '\\';
                break;
            case 'n':
                value += '\n';
                break;
            case 't':
                value += '\t';
                break;
            default: // keep unknown escapes as written, so that Windows-style paths survive
                value += '\\';
                value += e;
            }
            continue;
        }
        value += c;
    }
    return make(Token::Kind::String, std::move(value), loc);
}

Token Lexer::lex_number(const SourceLoc& loc) {
    size_t start = pos_;
    if (peek() == '-' || peek() == '+') advance();
    while (is_digit(peek()))
        advance();
    if (peek() == '.') {
        advance();
        while (is_digit(peek()))
            advance();
    }
    if ((peek() == 'e' || peek() == 'E') &&
        (is_digit(peek(1)) || ((peek(1) == '-' || peek(1) == '+') && is_digit(peek(2))))) {
        advance();
        if (peek() == '-' || peek() == '+') advance();
        while (is_digit(peek()))
            advance();
    }
    std::string text = text_.substr(start, pos_ - start);
    if (is_word_char(peek()) || peek() == '.') {
        while (is_word_char(peek()) || peek() == '.')
            advance();
        return make(Token::Kind::Error, "malformed number \"" + text_.substr(start, pos_ - start) + "\"",
                    loc);
    }
    // from_chars is locale-independent; it takes no leading '+'.
    const char* first = text.c_str() + (text[0] == '+' ? 1 : 0);
    double value = 0;
    auto [end, ec] = std::from_chars(first, text.c_str() + text.size(), value);
    if (ec != std::errc() || end != text.c_str() + text.size() || !std::isfinite(value))
        return make(Token::Kind::Error, "number \"" + text + "\" is out of range", loc);
    Token t = make(Token::Kind::Number, text, loc);
    t.number = value;
    return t;
}

Token Lexer::lex_word(const SourceLoc& loc) {
    size_t start = pos_;
    advance();
    while (is_word_char(peek()))
        advance();
    return make(Token::Kind::Word, text_.substr(start, pos_ - start), loc);
}

} // namespace orn::scene
