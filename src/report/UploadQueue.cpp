#include "UploadQueue.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "DurableFile.h"
#include "TextEncodings.h"

namespace tovi {

namespace {

constexpr std::string_view kNextBlock = "\r\nServerInfo ";

// `length` bytes of `file` from `start`; nothing when they cannot all be read.
std::optional<std::string> ReadRange(const std::filesystem::path& file, uint64_t start, uint64_t length,
                                     std::string& error) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<size_t>(length), '\0');
    if (in && in.seekg(static_cast<std::streamoff>(start)) &&
        in.read(bytes.data(), static_cast<std::streamsize>(length))) {
        return bytes;
    }
    error = "cannot read " + file.filename().string() + ": " + std::strerror(errno);
    return std::nullopt;
}

// The body's length for `stats` without building it: each Base64 character is one byte but "+"
// and "/", which form encoding turns into three, and so is each "=" of the padding.
class BodyLength {
public:
    explicit BodyLength(std::string_view stats) : m_stats(stats) {}
    size_t Of(size_t length) {
        const size_t whole = length / 3 * 3;
        for (; m_counted < whole; m_counted += 3) m_groups += GroupCost(m_counted, 3);
        const size_t rest = length - whole;
        return 5 + m_groups + (rest == 0 ? 0 : GroupCost(whole, rest) + (3 - rest) * 3);
    }

private:
    size_t GroupCost(size_t at, size_t count) const {
        uint32_t group = 0;
        for (size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < count ? static_cast<unsigned char>(m_stats[at + i]) : 0U);
        size_t cost = 0;
        for (size_t i = 0; i <= count; ++i) cost += ((group >> (18 - 6 * i)) & 0x3F) >= 62 ? 3U : 1U;
        return cost;
    }
    std::string_view m_stats;
    size_t m_counted = 0;
    size_t m_groups = 0;
};

int CountBlocks(std::string_view bytes) {
    int blocks = bytes.empty() ? 0 : 1;
    for (size_t at = bytes.find(kNextBlock); at != std::string_view::npos; at = bytes.find(kNextBlock, at + 2))
        ++blocks;
    return blocks;
}

std::optional<uint64_t> Number(std::string_view text) {
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string UploadBody(std::string_view stats) {
    // "data=" + FormEncode(Base64Encode(stats)) in one pass: a batch is built between two events
    // of the window, so it must be quick.
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static constexpr std::string_view kEscaped[] = {"%2B", "%2F", "%3D"};  // "+", "/", and the pad "="
    std::string body(BodyLength(stats).Of(stats.size()), '\0');
    char* out = body.data();
    for (char c : std::string_view("data=")) *out++ = c;
    auto put = [&out](uint32_t sextet) {
        if (sextet < 62) {
            *out++ = kAlphabet[sextet];
        } else {
            for (char c : kEscaped[sextet - 62]) *out++ = c;
        }
    };
    const size_t whole = stats.size() / 3 * 3;
    const auto* bytes = reinterpret_cast<const unsigned char*>(stats.data());
    for (size_t i = 0; i < whole; i += 3) {
        const uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        put(group >> 18);
        put((group >> 12) & 0x3F);
        put((group >> 6) & 0x3F);
        put(group & 0x3F);
    }
    if (const size_t rest = stats.size() - whole; rest > 0) {
        const uint32_t group = uint32_t{bytes[whole]} << 16 | (rest == 2 ? uint32_t{bytes[whole + 1]} << 8 : 0U);
        put(group >> 18);
        put((group >> 12) & 0x3F);
        if (rest == 2) put((group >> 6) & 0x3F);
        for (size_t pad = rest; pad < 3; ++pad) put(64);
    }
    body.resize(static_cast<size_t>(out - body.data()));
    return body;
}

UploadQueue::UploadQueue(std::filesystem::path statsFile, ContentDigest digest)
    : m_file(std::move(statsFile)), m_digest(std::move(digest)) {}

std::filesystem::path UploadQueue::RecordPath() const {
    std::filesystem::path record = m_file;
    record += ".upload";
    return record;
}

std::optional<UploadQueue::Record> UploadQueue::ReadRecord() const {
    std::string error;
    std::error_code ec;
    if (!std::filesystem::exists(RecordPath(), ec)) return std::nullopt;
    const std::optional<std::string> text = ReadWholeFile(RecordPath(), error);
    if (!text || !text->ends_with("\r\n")) return std::nullopt;
    // "sending|confirmed START LENGTH ID"
    std::vector<std::string_view> words;
    std::string_view rest(text->data(), text->size() - 2);
    for (size_t blank = rest.find(' '); blank != std::string_view::npos; blank = rest.find(' ')) {
        words.push_back(rest.substr(0, blank));
        rest.remove_prefix(blank + 1);
    }
    words.push_back(rest);
    if (words.size() != 4 || (words[0] != "sending" && words[0] != "confirmed")) return std::nullopt;
    const std::optional<uint64_t> start = Number(words[1]), length = Number(words[2]);
    if (!start || !length || *length == 0 || words[3].empty()) return std::nullopt;
    return Record{words[0] == "confirmed", *start, *length, std::string(words[3])};
}

bool UploadQueue::WriteRecord(bool confirmed, const UploadBatch& batch, std::string& error) {
    const std::string text = std::string(confirmed ? "confirmed " : "sending ") + std::to_string(batch.start) + " " +
                             std::to_string(batch.bytes.size()) + " " + batch.id + "\r\n";
    return ReplaceFileContent(RecordPath(), text, error);
}

std::optional<std::string> UploadQueue::Holds(const Record& record, uint64_t size) const {
    if (record.start > size || record.length > size - record.start) return std::nullopt;
    std::string error;
    std::optional<std::string> bytes = ReadRange(m_file, record.start, record.length, error);
    if (!bytes) return std::nullopt;
    // The batch handed out last is compared byte for byte; one recorded before a restart by its digest.
    const bool same = m_known && m_known->start == record.start && m_known->id == record.id
                          ? *bytes == m_known->bytes
                          : m_digest(*bytes) == record.id;
    if (!same) return std::nullopt;
    return bytes;
}

std::optional<UploadBatch> UploadQueue::Next(std::string& error, int maxBlocks) {
    error.clear();
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(m_file, ec);
    if (ec) {
        error = "cannot read " + m_file.filename().string() + ": " + ec.message();
        return std::nullopt;
    }
    if (size == 0) {
        // Nothing but an empty file: sent as it is, and removed once the service confirms it.
        m_known = UploadBatch{0, {}, m_digest({}), 0};
        return m_known;
    }
    uint64_t from = 0;
    if (const std::optional<Record> record = ReadRecord()) {
        if (std::optional<std::string> bytes = Holds(*record, size)) {
            if (!record->confirmed) {
                const int blocks = CountBlocks(*bytes);
                m_known = UploadBatch{record->start, std::move(*bytes), record->id, blocks};
                return m_known;
            }
            from = record->start + record->length;
        }
    }
    if (from > 0 && from == size) {
        // Everything was confirmed, but the file was not removed yet.
        RemoveAll(error);
        return std::nullopt;
    }
    return Cut(from, size, maxBlocks, error);
}

std::optional<UploadBatch> UploadQueue::Cut(uint64_t from, uint64_t size, int maxBlocks, std::string& error) {
    // A body never holds fewer bytes than the stats it carries, so this is enough to fill one.
    uint64_t length = std::min<uint64_t>(size - from, kMaxBodyBytes);
    std::optional<std::string> chunk = ReadRange(m_file, from, length, error);
    if (!chunk) return std::nullopt;
    // A first block longer than a body (only a damaged or hand-made file has one) goes alone.
    while (chunk->find(kNextBlock) == std::string::npos && from + length < size) {
        length = std::min<uint64_t>(size - from, length * 2);
        chunk = ReadRange(m_file, from, length, error);
        if (!chunk) return std::nullopt;
    }
    const bool toTheEnd = from + length == size;

    BodyLength body(*chunk);
    size_t end = 0;
    int blocks = 0;
    for (size_t at = chunk->find(kNextBlock); ; at = chunk->find(kNextBlock, at + 2)) {
        const size_t blockEnd = at == std::string::npos ? chunk->size() : at + 2;
        // The file's last block counts once its last line is finished.
        if (at == std::string::npos && !(toTheEnd && chunk->ends_with("\r\n"))) break;
        if (blocks > 0 && (body.Of(blockEnd) > kMaxBodyBytes || (maxBlocks > 0 && blocks >= maxBlocks))) break;
        end = blockEnd;
        ++blocks;
        if (at == std::string::npos) break;
    }
    if (blocks == 0) return std::nullopt;
    chunk->resize(end);
    std::string id = m_digest(*chunk);
    m_known = UploadBatch{from, std::move(*chunk), std::move(id), blocks};
    return m_known;
}

bool UploadQueue::Sending(const UploadBatch& batch, std::string& error) { return WriteRecord(false, batch, error); }

void UploadQueue::Forget() {
    m_known.reset();
    std::string ignored;
    RemoveFileDurably(RecordPath(), ignored);
}

bool UploadQueue::SetAside(const UploadBatch& batch, const std::filesystem::path& folder, const std::string& reason,
                           std::string& where, std::string& error) {
    // Named by its content: the same match set aside twice is one file.
    const std::string name = batch.id.substr(0, 16);
    const std::filesystem::path stats = folder / (name + ".stats");
    MakePath(stats);
    if (!ReplaceFileContent(stats, batch.bytes, error) ||
        !ReplaceFileContent(folder / (name + ".txt"), reason + "\r\n", error))
        return false;
    where = PathText(stats);
    return Confirmed(batch, error);
}

bool UploadQueue::Confirmed(const UploadBatch& batch, std::string& error) {
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(m_file, ec);
    const Record record{false, batch.start, batch.bytes.size(), batch.id};
    m_known = batch;
    if (ec || !Holds(record, size)) {
        m_known.reset();
        error = m_file.filename().string() + " changed during the upload; it is kept whole for the next upload";
        return false;
    }
    const uint64_t end = batch.start + batch.bytes.size();
    bool done = false;
    if (end == size) {
        done = RemoveAll(error);
    } else if (size - end < kRewriteLimitBytes) {
        // Rewriting what follows leaves the old file or the new one; a crash before the record
        // goes finds a record the new file does not hold, so it is ignored.
        const std::optional<std::string> rest = ReadRange(m_file, end, size - end, error);
        done = rest && ReplaceFileContent(m_file, *rest, error);
        if (done) {
            m_known.reset();
            std::string ignored;
            RemoveFileDurably(RecordPath(), ignored);
        }
    } else {
        done = WriteRecord(true, batch, error);
    }
    if (!done) error = "The imported stats stay in " + m_file.filename().string() + " and go again with the next upload: " + error;
    return done;
}

bool UploadQueue::RemoveAll(std::string& error) {
    m_known.reset();
    if (!RemoveFileDurably(m_file, error)) return false;
    std::string ignored;
    RemoveFileDurably(RecordPath(), ignored);
    return true;
}

}  // namespace tovi
