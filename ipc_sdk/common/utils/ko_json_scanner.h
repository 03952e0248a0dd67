// Finds where a JSON object ends in a byte stream, one byte at a time, so that a caller can stop and
// resume between reads. Braces inside strings (escapes included) do not count.
#pragma once

namespace ko_json {

// Follows a JSON string from its opening quote to its closing one, escapes included.
class StringScanner {
public:
    void open()
    {
        inside_ = true;
        escape_ = false;
    }
    void reset() { inside_ = escape_ = false; }
    bool inside() const { return inside_; }
    // Feeds a byte after the opening quote; the closing quote ends the string.
    void feed(char c)
    {
        if (escape_)
            escape_ = false;
        else if (c == '\\')
            escape_ = true;
        else if (c == '"')
            inside_ = false;
    }

private:
    bool inside_ = false;
    bool escape_ = false;
};

class ObjectScanner {
public:
    // Feeds the byte after an object's opening "{" (or any later one); true when `c` closes it.
    bool feed(char c)
    {
        if (string_.inside()) {
            string_.feed(c);
            return false;
        }
        if (c == '"')
            string_.open();
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
        string_.reset();
    }
    void reset()
    {
        depth_ = 0;
        string_.reset();
    }
    bool inside() const { return depth_ > 0; }

private:
    long depth_ = 0;
    StringScanner string_;
};

} // namespace ko_json
