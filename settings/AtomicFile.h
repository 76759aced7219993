#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// Whole-file reading and replacing for the files the tool and its programmer libraries keep
// for themselves (settings, a programmer's image store, files a user asks to be written).
// Both only ever touch regular files: a FIFO, a device or a folder at the path is refused
// without being opened in a way that could block or consume it.
namespace kw {

// Replaces `file` with `content` so that anyone reading it, and the file after a crash or a
// power loss, sees either the old content or the new one, never a mix: the content goes into
// a uniquely named temporary file beside the target, is synced to disk and renamed over the
// target, and the folder is synced after the rename.
//
// - A missing file is created with the mode a new file of the user gets (0666 less the umask).
// - An existing file keeps its mode; its owner and group are kept where the caller may set
//   them (as root, or a group the caller belongs to), otherwise the caller becomes the owner.
// - Through a symbolic link (or a chain of them) the linked file is replaced and the link
//   stays; a link to a missing file creates that file.
// - When the existing target is not a regular file (FIFO, device, socket, folder) nothing is
//   touched and the call fails.
// - Hard links to the old file keep the old content: the name gets a new file.
//
// Returns true when the new content is in place. On false the file is as it was and no
// temporary file is left behind. Never throws.
bool replaceFileAtomically(const std::filesystem::path& file, std::string_view content) noexcept;

// For files a user names as output, where the path may lie in a folder others write to.
struct ReplaceOptions {
    // true: as replaceFileAtomically, through a link the linked file is replaced. false: the
    // link itself is replaced and what it names is never touched; in a sticky folder (/tmp) a
    // link another user owns is refused instead, since it was planted there.
    bool followLinks = true;
    // false: a regular file the caller may not write, or that has no write permission for
    // anyone, is refused.
    bool replaceReadOnly = true;
    // Remove temporary files of this writer's pattern for the same name, of this user, whose
    // process is gone (a writer killed outright leaves its temporary file).
    bool removeStaleTemporaries = false;
};

struct ReplaceOutcome {
    enum class Status {
        Replaced,    // done (replaceFile), or would be allowed (checkReplaceable)
        NotRegular,  // a FIFO, device, socket or folder at the path
        ForeignLink, // a link of another user in a sticky folder
        ReadOnly,    // refused by replaceReadOnly = false
        Failed,      // the system refused; `error` holds its errno
    };
    Status status = Status::Failed;
    int error = 0;
    bool replaced() const noexcept { return status == Status::Replaced; }
};

// replaceFileAtomically with options; the same guarantees otherwise. Never throws.
ReplaceOutcome replaceFile(const std::filesystem::path& file, std::string_view content,
                           const ReplaceOptions& options) noexcept;

// Whether replaceFile would be refused now, without touching the file: the same checks of the
// path, and a temporary file made and removed beside it (so a missing or read-only folder, or
// a name too long, shows). For checking before work that a refused write would waste.
ReplaceOutcome checkReplaceable(const std::filesystem::path& file,
                                const ReplaceOptions& options) noexcept;

// What readRegularFile found at a path.
struct FileContent {
    enum class Status {
        Read,       // `bytes` holds the content (all of it when `whole`)
        Absent,     // no file of that name (a symbolic link to nothing counts as absent)
        NotRegular, // a FIFO, device, socket or folder: not opened for reading
        Failed,     // exists but cannot be opened or read
    };
    Status status = Status::Failed;
    std::string bytes;
    bool whole = false; // every byte of the file is in `bytes`
};

// Reads at most `limit` bytes from the start of `file`, following symbolic links. The file is
// opened without blocking and checked on the open descriptor, so a FIFO or a device is
// refused at once, whatever it is swapped for meanwhile. Never throws.
FileContent readRegularFile(const std::filesystem::path& file, std::size_t limit) noexcept;

} // namespace kw
