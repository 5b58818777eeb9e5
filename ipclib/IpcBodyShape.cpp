#include "ipclib/IpcBodyShape.h"

#include <algorithm>

namespace {

enum class Inside { Text, String, Escape, Slash, BlockComment, BlockCommentStar, LineComment };

// One character outside strings and comments.
Inside readText(char c, size_t& depth, IpcBodyShape& shape) {
    switch (c) {
        case '"':
            return Inside::String;
        case '/':
            return Inside::Slash;
        case '[':
        case '{':
            ++shape.values;
            shape.depth = std::max(shape.depth, ++depth);
            return Inside::Text;
        case ']':
        case '}':
            if (depth > 0) --depth;
            return Inside::Text;
        case ',':
        case ':':
            ++shape.values;
            return Inside::Text;
        default:
            return Inside::Text;
    }
}

}  // namespace

// The reader's rules: a backslash in a string takes the next character with
// it; "/*" runs to the first "*/" after it; "//" runs to a line end; a '/'
// followed by anything else fails the parse, so what follows it costs nothing.
IpcBodyShape measureBodyShape(const std::string& body) {
    IpcBodyShape shape;
    size_t depth = 0;
    Inside inside = Inside::Text;
    for (const char c : body) {
        switch (inside) {
            case Inside::Text:
                inside = readText(c, depth, shape);
                break;
            case Inside::String:
                if (c == '\\') inside = Inside::Escape;
                if (c == '"') inside = Inside::Text;
                break;
            case Inside::Escape:
                inside = Inside::String;
                break;
            case Inside::Slash:
                if (c == '*') inside = Inside::BlockComment;
                else if (c == '/') inside = Inside::LineComment;
                else return shape;
                break;
            case Inside::BlockComment:
                if (c == '*') inside = Inside::BlockCommentStar;
                break;
            case Inside::BlockCommentStar:
                if (c == '/') inside = Inside::Text;
                else if (c != '*') inside = Inside::BlockComment;
                break;
            case Inside::LineComment:
                if (c == '\n' || c == '\r') inside = Inside::Text;
                break;
        }
    }
    return shape;
}
