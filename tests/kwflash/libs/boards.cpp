// A programmer library for a production bench in a test: a row of boards put on the probe
// one after the other, as a technician does. KW_BOARDS_DIR names a folder holding `plan`, one
// line per board: "pass", or "fail" (writing any block returns code 6, after storing it). The
// library keeps its state there, since each session runs in a fresh helper process:
//   state        the board on the probe, whether it is on, and how long it has been off
//   board-N.bin  the flash of board N (from 0), 8192 bytes, made by its first write
// The "chip" report puts the next board on after two answers without one, and takes a board
// off once it has been written to; after the last board it sends SIGINT to its process group
// once, as the technician ending the run with Ctrl+C.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "programmer/Exports.h"

namespace {

constexpr int kFlash = 8192;

std::string folder() {
    const char* dir = std::getenv("KW_BOARDS_DIR");
    return dir != nullptr ? dir : ".";
}

std::vector<std::string> plan() {
    std::ifstream file(folder() + "/plan");
    std::vector<std::string> boards;
    for (std::string line; std::getline(file, line);)
        if (!line.empty())
            boards.push_back(line);
    return boards;
}

struct State {
    int board = 0;
    int on = 0;     // 1 while the board is on the probe
    int offFor = 0; // answers without a board
    int ended = 0;  // SIGINT sent
};

State load() {
    State s;
    std::ifstream file(folder() + "/state");
    file >> s.board >> s.on >> s.offFor >> s.ended;
    return s;
}

void save(const State& s) {
    std::ofstream(folder() + "/state")
        << s.board << ' ' << s.on << ' ' << s.offFor << ' ' << s.ended << '\n';
}

std::string boardFile(int board) {
    return folder() + "/board-" + std::to_string(board) + ".bin";
}

bool written(int board) {
    struct stat info {};
    return ::stat(boardFile(board).c_str(), &info) == 0;
}

std::vector<std::uint8_t> flash(int board) {
    std::vector<std::uint8_t> bytes(kFlash, 0xFF);
    if (std::FILE* file = std::fopen(boardFile(board).c_str(), "rb")) {
        const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
        (void)got;
        std::fclose(file);
    }
    return bytes;
}

int answer(const std::string& text, char* buffer, int size, int* length, int code) {
    if (length != nullptr)
        *length = static_cast<int>(text.size());
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return code;
}

} // namespace

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t offset, std::uint8_t* block) {
    const State s = load();
    const auto boards = plan();
    if (s.on == 0 || s.board >= static_cast<int>(boards.size()))
        return 3;
    auto bytes = flash(s.board);
    if (offset < 0 || offset > kFlash - kw::kSetFlashDataBlockSize)
        return 2;
    std::memcpy(bytes.data() + offset, block, kw::kSetFlashDataBlockSize);
    if (std::FILE* file = std::fopen(boardFile(s.board).c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    if (boards[static_cast<std::size_t>(s.board)] == "fail")
        return 6;
    return 0;
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    const State s = load();
    if (s.on == 0 || offset < 0 || offset > kFlash - kw::kGetFlashDataBlockSize)
        return 3;
    const auto bytes = flash(s.board);
    std::memcpy(block, bytes.data() + offset, kw::kGetFlashDataBlockSize);
    return 0;
}

KW_EXPORT int KW_STDCALL GetErrorText(int code, char* buffer, int size) {
    const std::string text = code == 6 ? "programming timeout on the bench's board \"x\"\n\\" : "";
    return answer(text, buffer, size, nullptr, static_cast<int>(text.size()));
}

KW_EXPORT int KW_STDCALL GetProgrammerReport(const char* topic, char* buffer, int size,
                                             int* length) {
    const std::string name = topic;
    if (name == "list")
        return answer("1-4 serial=BENCH0001 product=0483:3748 generation=V2 firmware=V2J37S7 "
                      "swim=yes usable=yes\n",
                      buffer, size, length, 0);
    if (name != "chip")
        return answer("", buffer, size, length, 2);
    State s = load();
    const int boards = static_cast<int>(plan().size());
    if (s.on != 0 && written(s.board)) {
        s.on = 0;
        s.offFor = 0;
        ++s.board;
    } else if (s.on == 0 && ++s.offFor >= 2) {
        if (s.board < boards) {
            s.on = 1;
        } else if (s.ended == 0) {
            s.ended = 1;
            save(s);
            ::kill(0, SIGINT);
            return answer("no chip answers", buffer, size, length, 3);
        }
    }
    save(s);
    if (s.on != 0)
        return answer("chip=present rop=no\n", buffer, size, length, 0);
    return answer("no chip answers on SWIM", buffer, size, length, 3);
}
