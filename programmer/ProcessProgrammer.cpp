#include "programmer/ProcessProgrammer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "programmer/HelperProtocol.h"
#include "programmer/ModuleFolder.h"

extern char** environ;

namespace kw {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// As in process: a report without a session is a topic nobody knows.
constexpr ResultCode kUnknownTopic = 2;

unsigned bit(Operation operation) {
    return 1u << static_cast<unsigned>(operation);
}

int secondsOf(milliseconds limit) {
    return static_cast<int>((limit.count() + 999) / 1000);
}

// The wait for one reply: poll() returns early on any signal (kwflash notes Ctrl+C while a
// block is in flight), so the time left is worked out again each round.
int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

enum class ReadResult { Done, Closed, TimedOut };

ReadResult readFull(int fd, void* buffer, std::size_t size, Clock::time_point deadline) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return ReadResult::TimedOut;
        if (ready < 0)
            return ReadResult::Closed;
        const ssize_t n = ::recv(fd, out + done, size - done, MSG_DONTWAIT);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0)
            return ReadResult::Closed;
        else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return ReadResult::Closed;
    }
    return ReadResult::Done;
}

// The helper's exit status once it has ended, waiting at most `grace`; nullopt when it is
// still running then.
std::optional<int> reap(pid_t pid, milliseconds grace) {
    const auto deadline = Clock::now() + grace;
    // An ending process is gone within microseconds: look again soon, then less often.
    std::chrono::microseconds wait(20);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        // Someone else reaped it (SIGCHLD ignored): gone, with nothing known of how.
        if (done < 0 && errno != EINTR)
            return 0;
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(wait);
        wait = std::min<std::chrono::microseconds>(wait * 2, milliseconds(1));
    }
}

// Waits until the helper's end of the socket is closed, which its exit does.
void awaitClosed(int fd, Clock::time_point deadline) {
    for (;;) {
        char byte;
        const ReadResult got = readFull(fd, &byte, 1, deadline);
        if (got != ReadResult::Done)
            return;
    }
}

int killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

HelperSettings helperBesideExecutable(const std::filesystem::path& libraryFile) {
    HelperSettings settings;
    // A slow link (usbip, a virtual machine) may need longer; tests need shorter.
    if (const char* text = std::getenv(kTimeoutVariable)) {
        char* end = nullptr;
        const long seconds = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && seconds > 0 && seconds <= 3600) {
            settings.callLimit = std::chrono::seconds(seconds);
            settings.reportLimit = std::max(settings.reportLimit, settings.callLimit);
        }
    }
    const std::filesystem::path folder = thisModuleFolder();
    settings.helper = folder / helper::kHelperFileName;
    settings.libraryFolder = folder;
    settings.libraryFile = libraryFile;
    return settings;
}

ProcessProgrammer::ProcessProgrammer(HelperSettings settings) : settings_(std::move(settings)) {}

ProcessProgrammer::~ProcessProgrammer() {
    close();
}

bool ProcessProgrammer::start() {
    int ends[2] = {-1, -1};
    // Close-on-exec: a helper started meanwhile by another thread never holds this one's
    // socket, which would keep its end of the conversation open after it died.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        openFailure_ = std::string("cannot start the programmer helper: ") + std::strerror(errno);
        return false;
    }
    // dup2 onto itself would keep close-on-exec set.
    if (ends[1] == helper::kSocketFd) {
        const int moved = ::fcntl(ends[1], F_DUPFD_CLOEXEC, helper::kSocketFd + 1);
        ::close(ends[1]);
        ends[1] = moved;
    }

    std::vector<std::string> args{settings_.helper.string()};
    if (!settings_.libraryFile.empty())
        args.insert(args.end(), {"--library-file", settings_.libraryFile.string()});
    else
        args.insert(args.end(), {"--library-folder", settings_.libraryFolder.string()});
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], helper::kSocketFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A host's blocked or handled signals are no business of the library's; crash signals
    // must kill the helper so that its host can tell. Ctrl+C, SIGTERM and SIGHUP reach the
    // whole job: they start blocked, so that one arriving before the helper has set them
    // aside cannot kill it; it unblocks them once it ignores them.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&blocked, signal);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int error =
        ends[1] < 0 ? errno
                    : ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (ends[1] >= 0)
        ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        openFailure_ = "cannot start the programmer helper " + settings_.helper.string() + ": " +
                       std::strerror(error);
        return false;
    }
    pid_ = pid;
    socket_ = ends[0];
    return true;
}

bool ProcessProgrammer::open(const SessionOptions& options) {
    close();
    stop_.reset();
    refusal_.reset();
    openFailure_.clear();
    offers_ = 0;
    if (!start())
        return false;

    helper::FrameWriter request(helper::Type::Open);
    request.u32(static_cast<std::uint32_t>(options.settings.size()));
    for (const auto& [name, value] : options.settings)
        request.string(name).string(value);
    request.u32(static_cast<std::uint32_t>(options.preferences.size()));
    for (const auto& [name, value] : options.preferences)
        request.string(name).string(value);
    const std::string body = call(request.finish(), settings_.callLimit);
    helper::FrameReader reply(body);
    const bool opened = reply.u8() != 0;
    openFailure_ = reply.string();
    offers_ = reply.u32();
    if (reply.u8() != 0) {
        OptionRefusal refusal;
        refusal.name = reply.string();
        refusal.value = reply.string();
        refusal.noOptionExport = reply.u8() != 0;
        refusal_ = std::move(refusal);
    }
    if (!opened) {
        offers_ = 0;
        close();
    }
    return opened;
}

bool ProcessProgrammer::offers(Operation operation) const {
    return (offers_ & bit(operation)) != 0;
}

bool ProcessProgrammer::inSession() const {
    if (stop_)
        throw *stop_;
    return socket_ >= 0;
}

std::string ProcessProgrammer::call(const std::string& frame, milliseconds limit) {
    if (!inSession())
        throw std::logic_error("a programmer call outside a session");
    if (!helper::sendAll(socket_, frame))
        stopped(false, limit);
    const auto deadline = Clock::now() + limit;
    unsigned char header[4];
    ReadResult got = readFull(socket_, header, sizeof header, deadline);
    std::string body;
    if (got == ReadResult::Done) {
        const std::uint32_t length = helper::frameLength(header);
        // Nothing the helper sends is that long: it is not speaking the protocol.
        if (length == 0 || length > helper::kMaxFrame)
            stopped(false, milliseconds(0));
        body.resize(length);
        got = readFull(socket_, body.data(), body.size(), deadline);
    }
    if (got != ReadResult::Done)
        stopped(got == ReadResult::TimedOut, limit);
    if (static_cast<unsigned char>(body[0]) != static_cast<unsigned char>(frame[4]))
        stopped(false, milliseconds(0));
    return body;
}

void ProcessProgrammer::stopped(bool timedOut, milliseconds limit) {
    int status = 0;
    if (timedOut) {
        status = killAndReap(pid_);
        stop_.emplace(StopKind::Timeout, secondsOf(limit));
    } else {
        // The socket closed because the helper is ending: give it the time to finish.
        const std::optional<int> ended = reap(pid_, limit);
        status = ended ? *ended : killAndReap(pid_);
        if (WIFSIGNALED(status))
            stop_.emplace(StopKind::Signal, WTERMSIG(status));
        else
            stop_.emplace(StopKind::Exit, WIFEXITED(status) ? WEXITSTATUS(status) : status);
    }
    ::close(socket_);
    socket_ = -1;
    pid_ = -1;
    offers_ = 0;
    throw *stop_;
}

ResultCode
ProcessProgrammer::writeBlock(std::int32_t offset,
                              std::span<const std::uint8_t, kSetFlashDataBlockSize> block) {
    helper::FrameWriter request(helper::Type::Write);
    request.i32(offset).bytes(block);
    return codeCall(request.finish());
}

ResultCode ProcessProgrammer::readBlock(std::int32_t offset,
                                        std::span<std::uint8_t, kGetFlashDataBlockSize> block) {
    if (!inSession())
        return kProgrammerNotFound;
    helper::FrameWriter request(helper::Type::Read);
    request.i32(offset);
    const std::string body = call(request.finish(), settings_.callLimit);
    helper::FrameReader reply(body);
    const ResultCode code = reply.i32();
    reply.bytes(block);
    return code;
}

std::string ProcessProgrammer::errorText(ResultCode code) {
    if (!inSession())
        return {};
    helper::FrameWriter request(helper::Type::Text);
    request.i32(code);
    const std::string body = call(request.finish(), settings_.callLimit);
    return helper::FrameReader(body).string();
}

std::string ProcessProgrammer::report(const std::string& topic, ResultCode& code) {
    if (!inSession()) {
        code = kUnknownTopic;
        return {};
    }
    helper::FrameWriter request(helper::Type::Report);
    request.string(topic);
    const std::string body = call(request.finish(), settings_.reportLimit);
    helper::FrameReader reply(body);
    code = reply.i32();
    return reply.string();
}

ResultCode ProcessProgrammer::codeCall(const std::string& frame) {
    if (!inSession())
        return kProgrammerNotFound;
    const std::string body = call(frame, settings_.callLimit);
    return helper::FrameReader(body).i32();
}

ResultCode
ProcessProgrammer::writeEepromBlock(std::int32_t offset,
                                    std::span<const std::uint8_t, kEepromBlockSize> block) {
    helper::FrameWriter request(helper::Type::EepromWrite);
    request.i32(offset).bytes(block);
    return codeCall(request.finish());
}

ResultCode ProcessProgrammer::readEepromBlock(std::int32_t offset,
                                              std::span<std::uint8_t, kEepromBlockSize> block) {
    if (!inSession())
        return kProgrammerNotFound;
    helper::FrameWriter request(helper::Type::EepromRead);
    request.i32(offset);
    const std::string body = call(request.finish(), settings_.callLimit);
    helper::FrameReader reply(body);
    const ResultCode code = reply.i32();
    reply.bytes(block);
    return code;
}

ResultCode ProcessProgrammer::readOptionBytes(std::span<std::uint8_t, kOptionByteCount> bytes) {
    if (!inSession())
        return kProgrammerNotFound;
    const std::string body =
        call(helper::FrameWriter(helper::Type::OptionBytesRead).finish(), settings_.callLimit);
    helper::FrameReader reply(body);
    const ResultCode code = reply.i32();
    reply.bytes(bytes);
    return code;
}

ResultCode ProcessProgrammer::writeOptionByte(std::int32_t index, std::uint8_t value) {
    helper::FrameWriter request(helper::Type::OptionByteWrite);
    request.i32(index).u8(value);
    return codeCall(request.finish());
}

ResultCode ProcessProgrammer::removeReadoutProtection() {
    return codeCall(helper::FrameWriter(helper::Type::RemoveProtection).finish());
}

bool ProcessProgrammer::needsBlockPauses() {
    // The default needs no round trip.
    if (!inSession() || !offers(Operation::BlockPauses))
        return true;
    const std::string body =
        call(helper::FrameWriter(helper::Type::BlockPauses).finish(), settings_.callLimit);
    return helper::FrameReader(body).u8() != 0;
}

void ProcessProgrammer::close() {
    stop_.reset();
    if (pid_ < 0)
        return;
    try {
        // The reply says the library is released, so that the next session's helper never
        // finds the probe still held by this one.
        call(helper::FrameWriter(helper::Type::Close).finish(), settings_.callLimit);
    } catch (const ProgrammerStopped&) {
        stop_.reset(); // already reaped; the session is over all the same
        return;
    }
    endHelper(settings_.callLimit);
}

void ProcessProgrammer::endHelper(milliseconds grace) {
    awaitClosed(socket_, Clock::now() + grace);
    ::close(socket_);
    socket_ = -1;
    if (!reap(pid_, grace))
        killAndReap(pid_);
    pid_ = -1;
    offers_ = 0;
}

namespace helper {

bool sendAll(int fd, std::string_view data) noexcept {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            return false;
    }
    return true;
}

} // namespace helper

} // namespace kw
