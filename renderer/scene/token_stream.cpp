#include "scene/token_stream.h"

#include <climits>
#include <cmath>
#include <utility>

namespace orn::scene {

std::string after(const std::string& keyword) {
    return "after \"" + keyword + "\"";
}

const Token& TokenStream::peek(size_t ahead) {
    while (lookahead_.size() <= ahead) {
        // Past the end or past a malformed token there is nothing more to read.
        if (!lookahead_.empty() &&
            (lookahead_.back().kind == Token::Kind::End || lookahead_.back().kind == Token::Kind::Error))
            return lookahead_.back();
        lookahead_.push_back(lexer_.next());
    }
    const Token& t = lookahead_[ahead];
    if (ahead == 0 && t.kind == Token::Kind::Error) fail(t.loc, t.text);
    return t;
}

Token TokenStream::next() {
    Token t = peek();
    if (t.kind != Token::Kind::End) lookahead_.pop_front();
    return t;
}

bool TokenStream::accept_word(const char* word) {
    if (!peek().is_word(word)) return false;
    next();
    return true;
}

bool TokenStream::accept_punct(char c) {
    if (!peek().is_punct(c)) return false;
    next();
    return true;
}

std::string TokenStream::expect_string(const std::string& context) {
    if (!at(Token::Kind::String)) fail_expected("a quoted string", context);
    return next().text;
}

double TokenStream::expect_number(const std::string& context) {
    if (!at(Token::Kind::Number)) fail_expected("a number", context);
    return next().number;
}

float TokenStream::expect_float(const std::string& context) {
    const Token& t = peek();
    if (t.kind == Token::Kind::Number && std::fabs(t.number) > 3.4e38)
        fail(t.loc, "number " + t.text + " is too large " + context);
    return static_cast<float>(expect_number(context));
}

int TokenStream::expect_integer(const std::string& context) {
    const Token& t = peek();
    if (t.kind != Token::Kind::Number || !t.is_integer()) fail_expected("an integer", context);
    if (t.number < INT_MIN || t.number > INT_MAX)
        fail(t.loc, "integer " + t.text + " is out of range " + context);
    return static_cast<int>(next().number);
}

std::string TokenStream::expect_any_word(const std::string& context) {
    if (!at(Token::Kind::Word)) fail_expected("a keyword", context);
    return next().text;
}

void TokenStream::expect_word(const char* word, const std::string& context) {
    if (!at_word(word)) fail_expected('"' + std::string(word) + '"', context);
    next();
}

void TokenStream::expect_punct(char c, const std::string& context) {
    if (!at_punct(c)) fail_expected("\"" + std::string(1, c) + "\"", context);
    next();
}

bool TokenStream::expect_switch(const std::string& context, bool optional) {
    if (accept_word("on") || accept_word("true")) return true;
    if (accept_word("off") || accept_word("false")) return false;
    if (!optional) fail_expected("on or off", context);
    return true;
}

void TokenStream::fail_expected(const std::string& what, const std::string& context) {
    const Token& t = peek();
    if (t.kind == Token::Kind::End && !blocks_.empty()) {
        const OpenBlock& b = blocks_.back();
        fail(t.loc, "unexpected end of file inside \"" + b.keyword + "\" block (started at line " +
                        std::to_string(b.line) + ")");
    }
    std::string message = "expected " + what;
    if (!context.empty()) message += ' ' + context;
    fail(t.loc, message + ", found " + t.describe());
}

void TokenStream::fail(const SourceLoc& loc, std::string message) {
    throw ParseError(Diagnostic{loc, std::move(message)});
}

TokenStream::Block::Block(TokenStream& stream, std::string keyword, int line) : stream_(stream) {
    stream_.blocks_.push_back({std::move(keyword), line});
}

TokenStream::Block::~Block() {
    stream_.blocks_.pop_back();
}

void TokenStream::expect_end(const char* keyword) {
    expect_word("end", "");
    expect_word(keyword, after("end"));
}

} // namespace orn::scene
