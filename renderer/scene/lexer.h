// Splits scene-language text into tokens, one at a time, so that a syntax error early in a file is reported
// before anything later in the file is looked at.
#pragma once

#include "scene/ast.h"

#include <string>

namespace orn::scene {

struct Token {
    enum class Kind { Word, String, Number, Punct, End, Error };
    Kind kind = Kind::End;
    std::string text;  // word, unescaped string, number as written, punctuation char, or error message
    double number = 0; // Number only
    SourceLoc loc;

    bool is_word(const char* w) const { return kind == Kind::Word && text == w; }
    bool is_punct(char c) const { return kind == Kind::Punct && text.size() == 1 && text[0] == c; }
    // Whether a Number token was written as an integer (no fraction or exponent).
    bool is_integer() const;
    // How the token reads in a message: "foo", string "foo", 1.5, end of file.
    std::string describe() const;
};

class Lexer {
  public:
    Lexer(std::string text, std::string file);

    // The next token; End forever once the text is used up. Malformed input gives an Error token whose
    // text is the message and whose location is where the bad token starts.
    Token next();

  private:
    char peek(size_t ahead = 0) const;
    void advance();
    void skip_space_and_comments();
    Token make(Token::Kind kind, std::string text, const SourceLoc& loc) const;
    Token lex_string(const SourceLoc& loc);
    Token lex_number(const SourceLoc& loc);
    Token lex_word(const SourceLoc& loc);

    std::string text_;
    std::string file_;
    size_t pos_ = 0;
    int line_ = 1;
    int col_ = 1;
};

} // namespace orn::scene
