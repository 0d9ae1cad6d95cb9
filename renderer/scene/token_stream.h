// Token cursor for the scene parser: lookahead, the "expected X after Y, found Z" messages, and the stack of
// open blocks that turns an early end of file into a message naming the unfinished block.
#pragma once

#include "scene/ast.h"
#include "scene/lexer.h"

#include <deque>
#include <exception>
#include <string>
#include <vector>

namespace orn::scene {

// Thrown by the parser at the first error; caught where a parse starts and turned into a Diagnostic.
class ParseError : public std::exception {
  public:
    explicit ParseError(Diagnostic diagnostic) : diagnostic_(std::move(diagnostic)) {}
    const Diagnostic& diagnostic() const { return diagnostic_; }
    const char* what() const noexcept override { return diagnostic_.message.c_str(); }

  private:
    Diagnostic diagnostic_;
};

// `after "kw"`, the usual context of an expectation.
std::string after(const std::string& keyword);

class TokenStream {
  public:
    explicit TokenStream(Lexer lexer) : lexer_(std::move(lexer)) {}

    // Lookahead; a malformed token is reported when it becomes the current token (ahead == 0).
    const Token& peek(size_t ahead = 0);
    Token next();

    bool at_word(const char* word) { return peek().is_word(word); }
    bool at_punct(char c) { return peek().is_punct(c); }
    bool at(Token::Kind kind) { return peek().kind == kind; }
    bool accept_word(const char* word);
    bool accept_punct(char c);

    // Each expectation consumes the token it checks; `context` completes "expected <what> <context>".
    std::string expect_string(const std::string& context);
    double expect_number(const std::string& context);
    float expect_float(const std::string& context);
    int expect_integer(const std::string& context);
    std::string expect_any_word(const std::string& context);
    void expect_word(const char* word, const std::string& context);
    void expect_punct(char c, const std::string& context);
    // on/off/true/false; when `optional` and none follows, the flag is on.
    bool expect_switch(const std::string& context, bool optional);

    // "expected <what> <context>, found <current token>", or the unfinished-block message at end of file.
    [[noreturn]] void fail_expected(const std::string& what, const std::string& context);
    [[noreturn]] static void fail(const SourceLoc& loc, std::string message);

    // Keeps a block open for the lifetime of the object, e.g. while a camera is read.
    class Block {
      public:
        Block(TokenStream& stream, std::string keyword, int line);
        ~Block();
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;

      private:
        TokenStream& stream_;
    };

    // Reads `end <keyword>`.
    void expect_end(const char* keyword);

  private:
    struct OpenBlock {
        std::string keyword;
        int line;
    };

    Lexer lexer_;
    std::deque<Token> lookahead_;
    std::vector<OpenBlock> blocks_;
};

} // namespace orn::scene
