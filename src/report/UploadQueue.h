#pragma once
// stats.stats as the upload's queue: batches of whole blocks, oldest first, each removed only
// once the service has confirmed it.
//
// A batch, once sent, is recorded in stats.stats.upload (its place in the file and its id) before
// it goes out, so that it goes again unchanged, with the same id, until it is confirmed, also
// after a restart; blocks appended meanwhile go into later batches. A confirmed batch is removed
// from the front of the file by rewriting what follows it in one step; when much follows it, the
// record says instead that the batch is confirmed, and the next batch starts behind it until the
// queue is empty. A crash at any moment leaves either the batch in place, to be sent again with
// its id (a repeat the service can drop), or removed; never an unconfirmed block removed.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tovi {

struct UploadBatch {
    uint64_t start = 0;  // where it lies in stats.stats
    std::string bytes;   // whole blocks, as the file holds them
    std::string id;      // the digest of `bytes`: the same for every sending of this batch
    int blocks = 0;
};

// A stable digest of a batch's bytes (hex), sent as its upload id. The program gives SHA-256.
using ContentDigest = std::function<std::string(std::string_view)>;

// The upload's body for `stats`: "data=" and its Base64, form-encoded.
std::string UploadBody(std::string_view stats);

class UploadQueue {
public:
    UploadQueue(std::filesystem::path statsFile, ContentDigest digest);

    // At most this much body per upload, so that services that limit a request's size take it.
    static constexpr size_t kMaxBodyBytes = size_t{1} << 20;
    // A confirmed batch with less than this behind it is removed at once.
    static constexpr uint64_t kRewriteLimitBytes = uint64_t{4} << 20;

    // The batch to send now: the one sent before and not confirmed, unchanged; otherwise the
    // oldest whole blocks not yet confirmed, as many as fit into kMaxBodyBytes of body, and at
    // least one. Nothing when nothing waits (`error` empty) or stats.stats cannot be read
    // (`error` says why). A block still without its final CR LF is not taken.
    // `maxBlocks` bounds a new batch (0: no bound beyond the body's size).
    std::optional<UploadBatch> Next(std::string& error, int maxBlocks = 0);
    // Forgets the batch sent last and not confirmed, so that the next is cut anew: only for one the
    // service refused, which it therefore did not store.
    void Forget();
    // Moves `batch` (one the service refuses for good) out of the queue into `folder`, as
    // NAME.stats beside NAME.txt with `reason`; `where` names the stats file.
    bool SetAside(const UploadBatch& batch, const std::filesystem::path& folder, const std::string& reason,
                  std::string& where, std::string& error);
    // Records that `batch` goes out now. False, with `error`, when the record cannot be written
    // (the batch may then be cut differently after a restart).
    bool Sending(const UploadBatch& batch, std::string& error);
    // The service confirmed `batch`: it leaves the queue. False, with `error`, when the file no
    // longer holds it where it was sent from, or when it cannot be removed; it then goes again.
    bool Confirmed(const UploadBatch& batch, std::string& error);

    std::filesystem::path RecordPath() const;

private:
    struct Record {
        bool confirmed = false;
        uint64_t start = 0;
        uint64_t length = 0;
        std::string id;
    };
    std::optional<Record> ReadRecord() const;
    bool WriteRecord(bool confirmed, const UploadBatch& batch, std::string& error);
    // Whether the file holds the recorded batch; its bytes when it does.
    std::optional<std::string> Holds(const Record& record, uint64_t size) const;
    std::optional<UploadBatch> Cut(uint64_t from, uint64_t size, int maxBlocks, std::string& error);
    bool RemoveAll(std::string& error);

    std::filesystem::path m_file;
    ContentDigest m_digest;
    std::optional<UploadBatch> m_known;  // the batch last handed out, to check without hashing
};

}  // namespace tovi
