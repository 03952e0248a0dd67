// Finds where a JSON object ends in a byte stream, one byte at a time, so that a caller can stop and
// resume between reads. Braces inside strings (escapes included) do not count.
#pragma once

namespace ko_json {

class ObjectScanner {
public:
    // Feeds the byte after an object's opening "{" (or any later one); true when `c` closes it.
    bool feed(char c)
    {
        if (in_string_) {
            if (escape_)
                escape_ = false;
            else if (c == '\\')
                escape_ = true;
            else if (c == '"')
                in_string_ = false;
            return false;
        }
        if (c == '"')
            in_string_ = true;
        else if (c == '{')
            ++depth_;
        else if (c == '}')
            return --depth_ == 0;
        return false;
    }
    // Starts a new object at its "{".
    void open()
    {
        depth_ = 1;
        in_string_ = escape_ = false;
    }
    void reset()
    {
        depth_ = 0;
        in_string_ = escape_ = false;
    }
    bool inside() const { return depth_ > 0; }

private:
    long depth_ = 0;
    bool in_string_ = false;
    bool escape_ = false;
};

} // namespace ko_json
