#pragma once

#include <QByteArrayView>
#include <cstddef>
#include <memory>
#include <optional>

// The content codings the transfer asks for and undoes itself, each with the library made for
// it, so that it knows whether a coded stream reached its own end: the HTTP library hands over
// a stream cut short as if it were whole.
enum class ContentCoding { Gzip, Deflate, Brotli, Zstd };

namespace ContentCodings {

// The coding a Content-Encoding token names, in any case, if it is one of those undone.
std::optional<ContentCoding> named(QByteArrayView token);
// The request's Accept-Encoding field, asking for exactly these.
const char* acceptField();

} // namespace ContentCodings

// Undoes one coding of a body as its bytes arrive.
class CodingDecoder
{
public:
    // The bytes still to decode, and the room for what they decode to; decode() moves both on.
    struct Window
    {
        const char* in = nullptr;
        std::size_t inLeft = 0;
        char* out = nullptr;
        std::size_t outLeft = 0;
    };

    // Nothing when the library cannot set up a decoder (no memory).
    static std::unique_ptr<CodingDecoder> make(ContentCoding coding);
    virtual ~CodingDecoder() = default;

    // Decodes what fits into the room. False when the bytes do not decode in this coding, or
    // follow the end of its stream (a gzip body may hold several streams, one after another).
    virtual bool decode(Window& window) = 0;
    // Whether the stream has reached its own end, and nothing came after it.
    virtual bool ended() const = 0;
};
