#include "net/contentcoding.h"

#include <QByteArray>
#include <QtGlobal>
#include <algorithm>
#include <brotli/decode.h>
#include <climits>
#include <zlib.h>
#include <zstd.h>

namespace ContentCodings {

std::optional<ContentCoding> named(QByteArrayView token)
{
    const auto is = [token](const char* name) {
        return token.compare(name, Qt::CaseInsensitive) == 0;
    };
    // x-gzip is an old name of gzip.
    if (is("gzip") || is("x-gzip"))
        return ContentCoding::Gzip;
    if (is("deflate"))
        return ContentCoding::Deflate;
    if (is("br"))
        return ContentCoding::Brotli;
    if (is("zstd"))
        return ContentCoding::Zstd;
    return std::nullopt;
}

const char* acceptField()
{
    return "Accept-Encoding: gzip, deflate, br, zstd";
}

} // namespace ContentCodings

namespace {

// zlib counts in unsigned ints; a window is handed over in slices it can count.
uInt sliceOf(std::size_t bytes)
{
    return static_cast<uInt>(std::min<std::size_t>(bytes, UINT_MAX));
}

// gzip, and deflate: a zlib stream as the standard has it, or the bare deflate data that some
// servers send under that name.
class ZlibDecoder final : public CodingDecoder
{
public:
    explicit ZlibDecoder(ContentCoding coding) : m_gzip(coding == ContentCoding::Gzip) {}
    ~ZlibDecoder() override
    {
        if (m_started)
            inflateEnd(&m_stream);
    }
    Q_DISABLE_COPY_MOVE(ZlibDecoder)

    bool decode(Window& window) override
    {
        if (!m_started) {
            if (!m_gzip && !tellKind(window))
                return true; // its first bytes are still to come
            if (inflateInit2(&m_stream, m_windowBits) != Z_OK)
                return false;
            m_started = true;
        }
        if (!m_kindBytes.isEmpty()) {
            // The bytes that told the kind go in first.
            Window first{m_kindBytes.constData(), static_cast<std::size_t>(m_kindBytes.size()),
                         window.out, window.outLeft};
            if (!inflateSome(first))
                return false;
            m_kindBytes.remove(0, m_kindBytes.size() - static_cast<qsizetype>(first.inLeft));
            window.out = first.out;
            window.outLeft = first.outLeft;
            if (!m_kindBytes.isEmpty())
                return true;
        }
        return inflateSome(window);
    }

    bool ended() const override { return m_ended; }

private:
    // Deflate's kind, from its first two bytes: those of a zlib stream make a multiple of 31,
    // with a method of 8 and a window it can have; anything else is bare deflate data.
    bool tellKind(Window& window)
    {
        while (m_kindBytes.size() < 2 && window.inLeft > 0) {
            m_kindBytes.append(*window.in++);
            --window.inLeft;
        }
        if (m_kindBytes.size() < 2)
            return false;
        const auto first = static_cast<unsigned char>(m_kindBytes.at(0));
        const auto second = static_cast<unsigned char>(m_kindBytes.at(1));
        const bool wrapped =
            (first & 0x0f) == Z_DEFLATED && (first >> 4) <= 7 && ((first << 8) | second) % 31 == 0;
        m_windowBits = wrapped ? MAX_WBITS : -MAX_WBITS;
        return true;
    }

    // Also called without input: the stream may hold back output that had no room before.
    bool inflateSome(Window& window)
    {
        while (window.outLeft > 0) {
            if (m_ended) {
                if (window.inLeft == 0)
                    return true;
                // Only gzip may hold another stream (a member) after the end of one.
                if (!m_gzip || inflateReset(&m_stream) != Z_OK)
                    return false;
                m_ended = false;
            }
            m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(window.in));
            m_stream.avail_in = sliceOf(window.inLeft);
            m_stream.next_out = reinterpret_cast<Bytef*>(window.out);
            m_stream.avail_out = sliceOf(window.outLeft);
            const uInt inBefore = m_stream.avail_in;
            const uInt outBefore = m_stream.avail_out;
            const int status = inflate(&m_stream, Z_NO_FLUSH);
            window.in += inBefore - m_stream.avail_in;
            window.inLeft -= inBefore - m_stream.avail_in;
            window.out += outBefore - m_stream.avail_out;
            window.outLeft -= outBefore - m_stream.avail_out;
            if (status == Z_STREAM_END)
                m_ended = true;
            else if (status == Z_BUF_ERROR)
                return true; // nothing more to do with this input and room
            else if (status != Z_OK)
                return false;
        }
        return true;
    }

    bool m_gzip;
    int m_windowBits = 32 + MAX_WBITS; // gzip, or a zlib stream sent under its name
    bool m_started = false;
    bool m_ended = false;
    QByteArray m_kindBytes; // deflate's first bytes, until they tell the kind
    z_stream m_stream{};
};

class BrotliDecoder final : public CodingDecoder
{
public:
    BrotliDecoder() : m_state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
    ~BrotliDecoder() override { BrotliDecoderDestroyInstance(m_state); }
    Q_DISABLE_COPY_MOVE(BrotliDecoder)

    bool isReady() const { return m_state != nullptr; }

    bool decode(Window& window) override
    {
        if (m_ended)
            return window.inLeft == 0;
        auto* in = reinterpret_cast<const uint8_t*>(window.in);
        auto* out = reinterpret_cast<uint8_t*>(window.out);
        const BrotliDecoderResult result = BrotliDecoderDecompressStream(
            m_state, &window.inLeft, &in, &window.outLeft, &out, nullptr);
        window.in = reinterpret_cast<const char*>(in);
        window.out = reinterpret_cast<char*>(out);
        if (result == BROTLI_DECODER_RESULT_SUCCESS) {
            m_ended = true;
            return window.inLeft == 0;
        }
        return result != BROTLI_DECODER_RESULT_ERROR;
    }

    bool ended() const override { return m_ended; }

private:
    BrotliDecoderState* m_state;
    bool m_ended = false;
};

class ZstdDecoder final : public CodingDecoder
{
public:
    ZstdDecoder() : m_stream(ZSTD_createDStream())
    {
        // A web server may make the decoder hold at most 8 MiB of window for this coding,
        // rather than zstd's own limit of 128 MiB.
        if (m_stream)
            ZSTD_DCtx_setParameter(m_stream, ZSTD_d_windowLogMax, 23);
    }
    ~ZstdDecoder() override { ZSTD_freeDStream(m_stream); }
    Q_DISABLE_COPY_MOVE(ZstdDecoder)

    bool isReady() const { return m_stream != nullptr; }

    // A zstd body may hold several frames; it has ended at the end of one.
    bool decode(Window& window) override
    {
        ZSTD_inBuffer in{window.in, window.inLeft, 0};
        ZSTD_outBuffer out{window.out, window.outLeft, 0};
        const std::size_t left = ZSTD_decompressStream(m_stream, &out, &in);
        window.in += in.pos;
        window.inLeft -= in.pos;
        window.out += out.pos;
        window.outLeft -= out.pos;
        if (ZSTD_isError(left))
            return false;
        m_ended = left == 0;
        return true;
    }

    bool ended() const override { return m_ended; }

private:
    ZSTD_DStream* m_stream;
    bool m_ended = false;
};

} // namespace

std::unique_ptr<CodingDecoder> CodingDecoder::make(ContentCoding coding)
{
    switch (coding) {
    case ContentCoding::Gzip:
    case ContentCoding::Deflate:
        return std::make_unique<ZlibDecoder>(coding);
    case ContentCoding::Brotli:
        if (auto decoder = std::make_unique<BrotliDecoder>(); decoder->isReady())
            return decoder;
        return nullptr;
    case ContentCoding::Zstd:
        if (auto decoder = std::make_unique<ZstdDecoder>(); decoder->isReady())
            return decoder;
        return nullptr;
    }
    return nullptr;
}
