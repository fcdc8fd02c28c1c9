// A JSON file that another process keeps current: read when it is registered and again
// whenever it changes (another inode, size or modification time).
//
// A change that does not parse keeps the last good content in use and is reported once on
// standard error: a writer that rewrites the file in place is caught half way more often than
// not, and dropping what it published for that moment would make every reader fail. A file
// that is removed withdraws its content: its publisher is gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winport {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;

    bool operator==(const FileIdentity&) const = default;
};

// The whole file and the identity of what was read (taken from the open descriptor, so a
// change during the read shows at the next look). False with a reason when it cannot be read.
bool ReadFileAndIdentity(const std::string& path, std::string& text, FileIdentity& identity,
                         std::string& reason);

// Identity of the file at `path` now; nullopt when it cannot be looked at.
std::optional<FileIdentity> StatIdentity(const std::string& path);

// One line on standard error: winport has no log of its own.
void ReportFileProblem(const std::string& problem);

template <typename Content>
class WatchedFile {
  public:
    // Turns the file's text into content; false with a reason when the text is not valid.
    using Parser =
        std::function<bool(std::string_view text, Content& content, std::string& reason)>;

    // `kind` names the file in messages: "counter file", "sessions file".
    WatchedFile(std::string kind, std::string path, Parser parser)
        : kind_(std::move(kind)), path_(std::move(path)), parser_(std::move(parser)) {}

    const std::string& Path() const { return path_; }
    // Null while the file is gone.
    const Content* Current() const { return content_ ? &*content_ : nullptr; }
    // Why the last reading failed, naming the file; empty after a good reading.
    const std::string& Problem() const { return problem_; }

    // What a reading of the file gave, made without touching the file's state in use.
    struct Reading {
        bool read = false;
        FileIdentity identity;  // of what was read
        Content content{};
        std::string error;  // naming the file, when not read
    };

    // Reads and parses the file; touches nothing in use, so callers may do it without their lock.
    Reading Read() const {
        Reading reading;
        std::string text;
        std::string reason;
        reading.read = ReadFileAndIdentity(path_, text, reading.identity, reason) &&
                       parser_(text, reading.content, reason);
        if (!reading.read) reading.error = Describe(reason);
        return reading;
    }

    // Reads the file now; false with the reason (naming the file) and nothing changed when it
    // cannot be read or does not parse.
    bool Load(std::string& error) {
        Reading reading = Read();
        if (!reading.read) {
            error = reading.error;
            return false;
        }
        Use(std::move(reading));
        return true;
    }

    // Whether the file must be read again: it changed since it was last looked at. A file that
    // is gone withdraws its content here; `withdrawn` tells whether it had any.
    bool NeedsReading(bool& withdrawn) {
        withdrawn = false;
        std::optional<FileIdentity> now = StatIdentity(path_);
        if (!now) {
            withdrawn = Withdraw();
            return false;
        }
        return !identity_ || *now != *identity_;
    }

    // Puts a reading made since NeedsReading in use; true when the content in use changed. A
    // failed one keeps the last good content and is reported once.
    bool Apply(Reading reading) {
        if (reading.read) {
            Use(std::move(reading));
            return true;
        }
        if (reading.error != problem_) {
            ReportFileProblem(reading.error + "; the last good content stays in use");
        }
        problem_ = reading.error;
        // Looked at again only when it changes again.
        if (std::optional<FileIdentity> now = StatIdentity(path_)) identity_ = now;
        return false;
    }

  private:
    std::string Describe(const std::string& reason) const {
        return kind_ + " " + path_ + ": " + reason;
    }

    void Use(Reading reading) {
        identity_ = reading.identity;
        content_ = std::move(reading.content);
        problem_.clear();
    }

    bool Withdraw() {
        const bool hadContent = content_.has_value();
        content_.reset();
        identity_.reset();
        const std::string gone = Describe("the file is gone");
        if (gone != problem_) ReportFileProblem(gone + "; what it published is withdrawn");
        problem_ = gone;
        return hadContent;
    }

    std::string kind_;
    std::string path_;
    Parser parser_;
    std::optional<FileIdentity> identity_;
    std::optional<Content> content_;
    std::string problem_;
};

// The files of one kind, in the order they were added. The owner locks.
template <typename Content>
class WatchedFiles {
  public:
    using Parser = typename WatchedFile<Content>::Parser;

    WatchedFiles(std::string kind, Parser parser)
        : kind_(std::move(kind)), parser_(std::move(parser)) {}

    // Reads the file and watches it from now on; a path added before is read again and keeps
    // its place. False with the error, and nothing changed, when it cannot be read.
    bool Add(const std::string& path, std::string& error) {
        auto file = std::make_unique<WatchedFile<Content>>(kind_, path, parser_);
        if (!file->Load(error)) return false;
        if (WatchedFile<Content>* known = Find(path)) {
            *known = std::move(*file);
        } else {
            files_.push_back(std::move(file));
        }
        return true;
    }

    void Clear() { files_.clear(); }

    // Looks at every file; `changed` gets the new content of each that changed. The files that
    // changed are read and parsed with the owner's `lock` (held on entry and on return)
    // released, so that a large file read again never stalls the owner's other callers; what
    // was read is swapped in once the lock is held again.
    template <typename OnChange>
    void Refresh(std::unique_lock<std::mutex>& lock, OnChange changed) {
        std::vector<const WatchedFile<Content>*> stale;
        for (const auto& file : files_) {
            bool withdrawn = false;
            if (file->NeedsReading(withdrawn)) stale.push_back(file.get());
        }
        if (stale.empty()) return;
        // Readers of their own: the files may be replaced or cleared while the lock is released.
        std::vector<WatchedFile<Content>> readers;
        for (const WatchedFile<Content>* file : stale)
            readers.emplace_back(kind_, file->Path(), parser_);
        std::vector<typename WatchedFile<Content>::Reading> readings;
        lock.unlock();
        for (const WatchedFile<Content>& reader : readers) readings.push_back(reader.Read());
        lock.lock();
        for (size_t i = 0; i < readers.size(); ++i) {
            WatchedFile<Content>* file = Find(readers[i].Path());
            if (file != nullptr && file->Apply(std::move(readings[i])) &&
                file->Current() != nullptr) {
                changed(*file->Current());
            }
        }
    }

    // The content of every file that has some, in order.
    std::vector<const Content*> Contents() const {
        std::vector<const Content*> contents;
        for (const auto& file : files_) {
            if (file->Current() != nullptr) contents.push_back(file->Current());
        }
        return contents;
    }

    std::string Problem(const std::string& path) {
        WatchedFile<Content>* file = Find(path);
        return file != nullptr ? file->Problem() : std::string();
    }

  private:
    WatchedFile<Content>* Find(const std::string& path) {
        for (const auto& file : files_) {
            if (file->Path() == path) return file.get();
        }
        return nullptr;
    }

    std::string kind_;
    Parser parser_;
    std::vector<std::unique_ptr<WatchedFile<Content>>> files_;
};

}  // namespace winport
