#include "scene/params.h"

#include <utility>

namespace orn::scene {

namespace {

// Deeper nesting than this is surely a mistake, and unbounded recursion could exhaust the stack.
constexpr int kMaxNesting = 64;

Value parse_nested_value(TokenStream& in, const std::string& context, int depth);

void check_nesting(TokenStream& in, int depth) {
    if (depth >= kMaxNesting)
        TokenStream::fail(in.peek().loc, "nesting deeper than " + std::to_string(kMaxNesting) + " levels");
}

Value make_value(Value::Kind kind, const SourceLoc& loc) {
    Value v;
    v.kind = kind;
    v.loc = loc;
    return v;
}

bool at_boolean_word(TokenStream& in) {
    return in.at_word("on") || in.at_word("off") || in.at_word("true") || in.at_word("false");
}

void parse_struct_members(TokenStream& in, Value& out, int depth) {
    while (!in.accept_punct('}')) {
        if (!out.members.empty()) in.accept_punct(',');
        if (in.accept_punct('}')) break;
        std::string name = in.expect_string("as a struct member name");
        Value member = parse_nested_value(in, "for struct member \"" + name + "\"", depth + 1);
        out.members.emplace_back(std::move(name), std::move(member));
    }
}

void parse_array_elements(TokenStream& in, Value& out, const std::string& context, int depth) {
    while (!in.accept_punct(']')) {
        if (!out.elements.empty()) in.expect_punct(',', "between array elements " + context);
        out.elements.push_back(parse_nested_value(in, context, depth + 1));
    }
}

Value parse_nested_value(TokenStream& in, const std::string& context, int depth) {
    check_nesting(in, depth);
    const SourceLoc loc = in.peek().loc;
    switch (in.peek().kind) {
    case Token::Kind::Number: {
        Value v = make_value(Value::Kind::Numbers, loc);
        while (in.at(Token::Kind::Number))
            v.numbers.push_back(in.next().number);
        return v;
    }
    case Token::Kind::String: {
        Value v = make_value(Value::Kind::String, loc);
        v.text = in.next().text;
        return v;
    }
    case Token::Kind::Word:
        if (at_boolean_word(in)) {
            Value v = make_value(Value::Kind::Boolean, loc);
            v.boolean = in.expect_switch(context, false);
            return v;
        }
        break;
    case Token::Kind::Punct:
        if (in.accept_punct('=')) {
            Value v = make_value(Value::Kind::Connection, loc);
            v.text = in.expect_string("naming a shader after \"=\"");
            return v;
        }
        if (in.accept_punct('[')) {
            Value v = make_value(Value::Kind::Array, loc);
            parse_array_elements(in, v, context, depth);
            return v;
        }
        if (in.accept_punct('{')) {
            Value v = make_value(Value::Kind::Struct, loc);
            parse_struct_members(in, v, depth);
            return v;
        }
        break;
    default:
        break;
    }
    in.fail_expected("a value (numbers, on/off, a string, = \"shader\", [...] or {...})", context);
}

} // namespace

Value parse_value(TokenStream& in, const std::string& context) {
    return parse_nested_value(in, context, 0);
}

std::vector<ParamValue> parse_param_list(TokenStream& in, const std::string& context) {
    in.expect_punct('(', context);
    std::vector<ParamValue> params;
    while (!in.accept_punct(')')) {
        if (!params.empty()) in.accept_punct(',');
        if (in.accept_punct(')')) break;
        ParamValue p;
        p.loc = in.peek().loc;
        p.name = in.expect_string(params.empty() ? "as a parameter name" : "as a parameter name or \")\"");
        p.value = parse_value(in, "for parameter \"" + p.name + "\"");
        params.push_back(std::move(p));
    }
    return params;
}

namespace {

struct TypeWord {
    const char* word;
    ParamType type;
};

constexpr TypeWord kSimpleTypes[] = {
    {"boolean", ParamType::Boolean},     {"integer", ParamType::Integer},   {"scalar", ParamType::Scalar},
    {"string", ParamType::String},       {"color", ParamType::Color},       {"vector", ParamType::Vector},
    {"transform", ParamType::Transform}, {"shader", ParamType::Shader},     {"light", ParamType::Light},
    {"material", ParamType::Material},   {"geometry", ParamType::Geometry}, {"data", ParamType::Data},
};

// Reads one type word (and "texture" after color/scalar/vector); "struct" is handled by the callers.
ParamType parse_type_word(TokenStream& in, const std::string& context) {
    const Token t = in.peek();
    if (t.kind != Token::Kind::Word) in.fail_expected("a parameter type", context);
    for (const TypeWord& tw : kSimpleTypes) {
        if (t.text != tw.word) continue;
        in.next();
        if (in.accept_word("texture")) {
            switch (tw.type) {
            case ParamType::Color:
                return ParamType::ColorTexture;
            case ParamType::Scalar:
                return ParamType::ScalarTexture;
            case ParamType::Vector:
                return ParamType::VectorTexture;
            default:
                TokenStream::fail(t.loc, "there is no \"" + std::string(tw.word) + " texture\" type");
            }
        }
        return tw.type;
    }
    TokenStream::fail(t.loc, "unknown parameter type \"" + t.text + "\"");
}

std::vector<ParamDecl> parse_struct_body(TokenStream& in, const std::string& owner, int depth);

ParamDecl parse_param_decl(TokenStream& in, int depth) {
    check_nesting(in, depth);
    ParamDecl d;
    d.loc = in.peek().loc;
    d.is_array = in.accept_word("array");
    if (in.accept_word("struct")) {
        d.type = ParamType::Struct;
        d.name = in.expect_string(after("struct"));
        d.members = parse_struct_body(in, "struct \"" + d.name + "\"", depth + 1);
        return d;
    }
    d.type = parse_type_word(in, d.is_array ? after("array") : "in the parameter declarations");
    d.name = in.expect_string("as the name of the " + to_string(d.type) + " parameter");
    if (in.at_word("default")) {
        const SourceLoc at = in.next().loc;
        if (d.is_array || depth > 0)
            TokenStream::fail(at, "only plain parameters of a shader take a default (\"" + d.name + "\")");
        Value v = parse_value(in, "as the default of \"" + d.name + "\"");
        if (v.kind == Value::Kind::Connection || v.kind == Value::Kind::Array ||
            v.kind == Value::Kind::Struct)
            TokenStream::fail(v.loc,
                              "the default of \"" + d.name + "\" must be a number, on/off or a string");
        d.default_value = std::make_shared<const Value>(std::move(v));
    }
    return d;
}

// `{ decl, decl, ... }`
std::vector<ParamDecl> parse_struct_body(TokenStream& in, const std::string& owner, int depth) {
    in.expect_punct('{', after(owner));
    std::vector<ParamDecl> members;
    while (!in.accept_punct('}')) {
        if (!members.empty()) in.accept_punct(',');
        if (in.accept_punct('}')) break;
        members.push_back(parse_param_decl(in, depth));
    }
    return members;
}

void parse_apply_list(TokenStream& in, std::vector<std::string>& out) {
    out.push_back(in.expect_any_word(after("apply")));
    while (in.accept_punct(','))
        out.push_back(in.expect_any_word(after(",") + " in the apply list"));
}

} // namespace

ShaderDecl parse_shader_declaration(TokenStream& in, const SourceLoc& loc) {
    TokenStream::Block block(in, "declare", loc.line);
    ShaderDecl decl;
    decl.loc = loc;
    in.expect_word("shader", after("declare"));
    decl.result.loc = in.peek().loc;
    if (in.accept_word("struct")) {
        decl.result.type = ParamType::Struct;
        decl.result.members = parse_struct_body(in, "struct", 0);
    } else {
        if (in.at(Token::Kind::String)) in.fail_expected("a result type", "before the shader name");
        decl.result.type = parse_type_word(in, "as the result type");
    }
    decl.name = in.expect_string("as the shader name");
    in.expect_punct('(', "after the shader name \"" + decl.name + "\"");
    while (!in.accept_punct(')')) {
        if (!decl.params.empty()) in.accept_punct(',');
        if (in.accept_punct(')')) break;
        decl.params.push_back(parse_param_decl(in, 0));
    }
    while (!in.at_word("end")) {
        if (in.accept_word("version")) {
            decl.version = in.expect_integer(after("version"));
        } else if (in.accept_word("apply")) {
            parse_apply_list(in, decl.apply);
        } else {
            in.fail_expected("\"version\", \"apply\" or \"end declare\"",
                             "in the declaration of \"" + decl.name + "\"");
        }
    }
    in.expect_end("declare");
    return decl;
}

} // namespace orn::scene
