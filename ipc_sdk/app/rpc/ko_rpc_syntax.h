// Follows the grammar of one JSON object byte by byte, so that the framer learns at the first byte
// that its text can no longer be JSON (an object cut off, with the next one starting inside it),
// not only once braces fail to balance tens of kilobytes later. Numbers and the words true, false
// and null are taken as runs of their characters: what they spell is the parser's to judge.
#pragma once

#include "common/utils/ko_json_scanner.h"

#include <string>

namespace ko_rpc {

class ObjectSyntax {
public:
    enum class Step { more, closed, broken };

    // Starts an object at its "{".
    void open();
    void reset();
    bool inside() const { return !open_.empty(); }
    // Feeds the byte after the "{" or any later one: closed when `c` ends the object, broken when
    // no text that goes on from here can be JSON.
    Step feed(char c);

private:
    enum class Expect { key_or_close, key, colon, value, value_or_close, comma_or_close };

    Step start_value(char c);
    Step close(char c);

    std::string open_; // "{" or "[" for each container not yet closed, outermost first
    Expect expect_ = Expect::key_or_close;
    ko_json::StringScanner string_;
    bool in_literal_ = false;
};

} // namespace ko_rpc
