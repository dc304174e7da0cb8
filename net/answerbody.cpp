#include "net/answerbody.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Where a stage decodes to when another stage takes its output.
constexpr std::size_t scratchBytes = 64 * 1024;

// A body of many megabytes is written once, into memory the kernel must first clear and map
// page by page: in huge pages that is one fault for every 512 of them, which for a list of
// tens of megabytes is most of what its fetch costs beyond the network's own work. Only
// advice: where huge pages are off, nothing changes.
void adviseHugePages(char* data, qsizetype bytes)
{
    constexpr qsizetype worthIt = 4 * 1024 * 1024;
    if (bytes < worthIt)
        return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const auto to =
        (reinterpret_cast<std::uintptr_t>(data) + static_cast<std::uintptr_t>(bytes)) & ~(page - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

} // namespace

AnswerBody::AnswerBody(const std::vector<ContentCoding>& codings, qint64 announcedLength,
                       qint64 maxBytes)
    : m_maxBytes(maxBytes)
{
    for (auto coding = codings.rbegin(); coding != codings.rend(); ++coding) {
        Stage stage;
        stage.decoder = CodingDecoder::make(*coding);
        m_noDecoder = m_noDecoder || !stage.decoder;
        m_stages.push_back(std::move(stage));
    }
    for (std::size_t i = 0; i + 1 < m_stages.size(); ++i)
        m_stages[i].scratch = std::make_unique_for_overwrite<char[]>(scratchBytes);
    // A body that comes as it is, with its length announced, gets exactly its room. Any other
    // gets room up to the limit at its first bytes: only what is written is ever backed by
    // memory, and the room left over goes at the end, so the body is never moved.
    m_plannedBytes = codings.empty() && announcedLength > 0 ? announcedLength : maxBytes + 1;
}

AnswerBody::~AnswerBody() = default;

std::optional<FetchFailure> AnswerBody::take(QByteArrayView wire)
{
    m_wireBytes += wire.size();
    if (m_noDecoder)
        return FetchFailure::OutOfMemory;
    // Nothing may be thrown through the transfer library's C frames.
    try {
        return m_stages.empty() ? store(wire.data(), static_cast<std::size_t>(wire.size()))
                                : pass(0, wire.data(), static_cast<std::size_t>(wire.size()));
    } catch (const std::bad_alloc&) {
        return FetchFailure::OutOfMemory;
    }
}

bool AnswerBody::codingsEnded() const
{
    return std::all_of(m_stages.begin(), m_stages.end(),
                       [](const Stage& stage) { return !stage.fed || stage.decoder->ended(); });
}

QByteArray AnswerBody::release()
{
    m_bytes.squeeze();
    return std::move(m_bytes);
}

std::optional<FetchFailure> AnswerBody::pass(std::size_t index, const char* data, std::size_t size)
{
    Stage& stage = m_stages[index];
    stage.fed = stage.fed || size > 0;
    const bool last = index + 1 == m_stages.size();
    CodingDecoder::Window window{data, size, nullptr, 0};
    // A stage is asked again while it has input left, or filled its room and may hold back more
    // (a stream at its end holds back nothing).
    for (bool more = size > 0; more;) {
        std::size_t room = scratchBytes;
        char* out = stage.scratch.get();
        if (last) {
            if (const std::optional<FetchFailure> full = makeRoom(room))
                return full;
            out = m_bytes.data() + m_bytes.size();
        }
        window.out = out;
        window.outLeft = room;
        const std::size_t inBefore = window.inLeft;
        if (!stage.decoder->decode(window))
            return FetchFailure::DoesNotDecode;
        const std::size_t produced = room - window.outLeft;
        // A decoder that neither takes nor gives with both input and room would loop for ever.
        if (produced == 0 && window.inLeft == inBefore && window.inLeft > 0)
            return FetchFailure::DoesNotDecode;
        if (last) {
            m_bytes.resize(m_bytes.size() + static_cast<qsizetype>(produced));
            if (m_bytes.size() > m_maxBytes)
                return FetchFailure::TooLarge;
        } else if (produced > 0) {
            if (const std::optional<FetchFailure> failed = pass(index + 1, out, produced))
                return failed;
        }
        more = window.inLeft > 0 || (window.outLeft == 0 && !stage.decoder->ended());
    }
    return std::nullopt;
}

std::optional<FetchFailure> AnswerBody::store(const char* data, std::size_t size)
{
    while (size > 0) {
        std::size_t room = 0;
        if (const std::optional<FetchFailure> full = makeRoom(room))
            return full;
        const std::size_t piece = std::min(room, size);
        std::memcpy(m_bytes.data() + m_bytes.size(), data, piece);
        m_bytes.resize(m_bytes.size() + static_cast<qsizetype>(piece));
        if (m_bytes.size() > m_maxBytes)
            return FetchFailure::TooLarge;
        data += piece;
        size -= piece;
    }
    return std::nullopt;
}

std::optional<FetchFailure> AnswerBody::makeRoom(std::size_t& room)
{
    const qint64 ceiling = m_maxBytes + 1;
    if (m_bytes.capacity() == m_bytes.size()) {
        // The planned room first; should more come than announced, up to the limit.
        m_bytes.reserve(m_bytes.capacity() == 0 ? m_plannedBytes : ceiling);
        if (m_bytes.capacity() == m_bytes.size())
            return FetchFailure::TooLarge;
        adviseHugePages(m_bytes.data() + m_bytes.size(), m_bytes.capacity() - m_bytes.size());
    }
    room = static_cast<std::size_t>(
        std::min(m_bytes.capacity() - m_bytes.size(), ceiling - m_bytes.size()));
    return room > 0 ? std::nullopt : std::optional(FetchFailure::TooLarge);
}
