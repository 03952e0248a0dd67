#include "app/rpc/ko_rpc_syntax.h"

#include <cctype>

namespace ko_rpc {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool is_literal(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

} // namespace

void ObjectSyntax::open()
{
    reset();
    open_.push_back('{');
}

void ObjectSyntax::reset()
{
    open_.clear();
    expect_ = Expect::key_or_close;
    string_.reset();
    in_literal_ = false;
}

ObjectSyntax::Step ObjectSyntax::feed(char c)
{
    if (string_.inside()) {
        string_.feed(c);
        return Step::more;
    }
    if (in_literal_) {
        if (is_literal(c))
            return Step::more;
        in_literal_ = false; // `c` is the first byte after the literal
    }
    if (is_space(c))
        return Step::more;
    switch (expect_) {
    case Expect::key_or_close:
        if (c == '}')
            return close(c);
        [[fallthrough]];
    case Expect::key:
        if (c != '"')
            return Step::broken;
        string_.open();
        expect_ = Expect::colon;
        return Step::more;
    case Expect::colon:
        if (c != ':')
            return Step::broken;
        expect_ = Expect::value;
        return Step::more;
    case Expect::value_or_close:
        if (c == ']')
            return close(c);
        [[fallthrough]];
    case Expect::value:
        return start_value(c);
    case Expect::comma_or_close:
        if (c == ',') {
            expect_ = open_.back() == '{' ? Expect::key : Expect::value;
            return Step::more;
        }
        return c == '}' || c == ']' ? close(c) : Step::broken;
    }
    return Step::broken;
}

ObjectSyntax::Step ObjectSyntax::start_value(char c)
{
    expect_ = Expect::comma_or_close;
    if (c == '{' || c == '[') {
        open_.push_back(c);
        expect_ = c == '{' ? Expect::key_or_close : Expect::value_or_close;
    } else if (c == '"') {
        string_.open();
    } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c)) || c == 't' || c == 'f' || c == 'n') {
        in_literal_ = true;
    } else {
        return Step::broken;
    }
    return Step::more;
}

ObjectSyntax::Step ObjectSyntax::close(char c)
{
    if (c != (open_.back() == '{' ? '}' : ']'))
        return Step::broken;
    open_.pop_back();
    if (open_.empty())
        return Step::closed;
    expect_ = Expect::comma_or_close;
    return Step::more;
}

} // namespace ko_rpc
