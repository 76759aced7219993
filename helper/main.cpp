// kaliwire-programmer: runs the programmer library for KALIWIRE and kwflash in a process of
// its own, one session per process, so that a library that crashes, exits or hangs ends only
// this process. The conversation is described in programmer/HelperProtocol.h.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "programmer/DlProgrammer.h"
#include "programmer/HelperProtocol.h"
#include "programmer/ProgrammerLibrary.h"

namespace {

using namespace kw;
using helper::FrameReader;
using helper::FrameWriter;
using helper::Type;

constexpr int kUsage = 64;

bool readFull(int fd, char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            return false;
    }
    return true;
}

enum class Next { Serve, End, Bad };

unsigned offered(const Programmer& programmer) {
    unsigned bits = 0;
    for (const Operation operation :
         {Operation::WriteBlock, Operation::ReadBlock, Operation::ErrorText, Operation::Options,
          Operation::Report, Operation::EndTransfer, Operation::WriteEeprom, Operation::ReadEeprom,
          Operation::ReadOptionBytes, Operation::WriteOptionByte, Operation::RemoveProtection,
          Operation::BlockPauses})
        if (programmer.offers(operation))
            bits |= 1u << static_cast<unsigned>(operation);
    return bits;
}

// Answers one request into `reply`.
Next answer(Programmer& programmer, FrameReader& request, std::string& reply) {
    switch (request.type()) {
    case Type::Open: {
        SessionOptions options;
        for (auto* list : {&options.settings, &options.preferences}) {
            const std::uint32_t count = request.u32();
            for (std::uint32_t k = 0; k < count && !request.failed(); ++k) {
                std::string name = request.string();
                std::string value = request.string();
                list->emplace_back(std::move(name), std::move(value));
            }
        }
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        const bool opened = programmer.open(options);
        const auto refusal = programmer.refusedOption();
        FrameWriter out(Type::Open);
        out.u8(opened ? 1 : 0).string(programmer.openFailure()).u32(offered(programmer));
        out.u8(refusal ? 1 : 0)
            .string(refusal ? refusal->name : "")
            .string(refusal ? refusal->value : "")
            .u8(refusal && refusal->noOptionExport ? 1 : 0);
        reply = out.finish();
        return Next::Serve;
    }
    case Type::Write: {
        const std::int32_t offset = request.i32();
        std::array<std::uint8_t, kSetFlashDataBlockSize> block{};
        request.bytes(block);
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        reply = FrameWriter(Type::Write).i32(programmer.writeBlock(offset, block)).finish();
        return Next::Serve;
    }
    case Type::Read: {
        const std::int32_t offset = request.i32();
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        std::array<std::uint8_t, kGetFlashDataBlockSize> block{};
        const ResultCode code = programmer.readBlock(offset, block);
        reply = FrameWriter(Type::Read).i32(code).bytes(block).finish();
        return Next::Serve;
    }
    case Type::Text: {
        const ResultCode code = request.i32();
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        reply = FrameWriter(Type::Text).string(programmer.errorText(code)).finish();
        return Next::Serve;
    }
    case Type::Report: {
        const std::string topic = request.string();
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        ResultCode code = 0;
        const std::string text = programmer.report(topic, code);
        reply = FrameWriter(Type::Report).i32(code).string(text).finish();
        return Next::Serve;
    }
    case Type::EepromWrite: {
        const std::int32_t offset = request.i32();
        std::array<std::uint8_t, kEepromBlockSize> block{};
        request.bytes(block);
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        reply =
            FrameWriter(Type::EepromWrite).i32(programmer.writeEepromBlock(offset, block)).finish();
        return Next::Serve;
    }
    case Type::EepromRead: {
        const std::int32_t offset = request.i32();
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        std::array<std::uint8_t, kEepromBlockSize> block{};
        const ResultCode code = programmer.readEepromBlock(offset, block);
        reply = FrameWriter(Type::EepromRead).i32(code).bytes(block).finish();
        return Next::Serve;
    }
    case Type::OptionBytesRead: {
        if (!request.atEnd())
            return Next::Bad;
        std::array<std::uint8_t, kOptionByteCount> bytes{};
        const ResultCode code = programmer.readOptionBytes(bytes);
        reply = FrameWriter(Type::OptionBytesRead).i32(code).bytes(bytes).finish();
        return Next::Serve;
    }
    case Type::OptionByteWrite: {
        const std::int32_t index = request.i32();
        const std::uint8_t value = request.u8();
        if (request.failed() || !request.atEnd())
            return Next::Bad;
        reply = FrameWriter(Type::OptionByteWrite)
                    .i32(programmer.writeOptionByte(index, value))
                    .finish();
        return Next::Serve;
    }
    case Type::RemoveProtection:
        if (!request.atEnd())
            return Next::Bad;
        reply =
            FrameWriter(Type::RemoveProtection).i32(programmer.removeReadoutProtection()).finish();
        return Next::Serve;
    case Type::BlockPauses:
        if (!request.atEnd())
            return Next::Bad;
        reply = FrameWriter(Type::BlockPauses).u8(programmer.needsBlockPauses() ? 1 : 0).finish();
        return Next::Serve;
    case Type::Close:
        if (!request.atEnd())
            return Next::Bad;
        programmer.close();
        reply = FrameWriter(Type::Close).finish();
        return Next::End;
    }
    return Next::Bad;
}

int serve(Programmer& programmer, int fd) {
    std::string body;
    std::string reply;
    for (;;) {
        unsigned char header[4];
        // The host went away without a goodbye: release the library all the same.
        if (!readFull(fd, reinterpret_cast<char*>(header), sizeof header)) {
            programmer.close();
            return 0;
        }
        const std::uint32_t length = helper::frameLength(header);
        if (length == 0 || length > helper::kMaxFrame)
            return helper::kBadRequestStatus;
        body.resize(length);
        if (!readFull(fd, body.data(), body.size())) {
            programmer.close();
            return 0;
        }
        FrameReader request(body);
        const Next next = answer(programmer, request, reply);
        if (next == Next::Bad) {
            programmer.close();
            return helper::kBadRequestStatus;
        }
        if (!kw::helper::sendAll(fd, reply) || next == Next::End) {
            programmer.close();
            return 0;
        }
    }
}

int usage() {
    std::fputs("usage: kaliwire-programmer --library-folder DIR | --library-file FILE\n"
               "Started by KALIWIRE and kwflash to run the programmer library, with the "
               "conversation on file descriptor 3; not meant to be run by hand.\n",
               stderr);
    return kUsage;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || ::fcntl(helper::kSocketFd, F_GETFD) < 0)
        return usage();
    const std::string_view how = argv[1];
    std::shared_ptr<LibraryLoader> loader;
    if (how == "--library-folder")
        loader = std::make_shared<SystemLibraryLoader>(argv[2]);
    else if (how == "--library-file")
        loader = std::make_shared<SystemLibraryLoader>(SystemLibraryLoader::forFile(argv[2]));
    else
        return usage();

    // Ctrl+C and a closed terminal reach the whole job: the host decides when the transfer
    // stops, between blocks, and then ends this session properly.
    // The host starts this process with them blocked, so none is lost to a default action
    // before this point; one pending now is discarded by the ignoring.
    sigset_t job;
    sigemptyset(&job);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, SIG_IGN);
        sigaddset(&job, signal);
    }
    ::sigprocmask(SIG_UNBLOCK, &job, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    DlProgrammer programmer(loader);
    return serve(programmer, helper::kSocketFd);
}
