// Test helpers; the program runner is the only platform-specific part: on
// Windows (also under Wine) the test itself is a Windows program and starts
// the .exe with CreateProcess, turning a Unix path from the build into the
// Z: drive path Wine maps it to.
#include "tests/pack/support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace packtest {

namespace {

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

#ifdef _WIN32
std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string QuoteArg(const std::string& arg) {
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

int Spawn(const std::string& program, const std::vector<std::string>& args, const fs::path& out,
          const fs::path& err) {
    std::string command = QuoteArg(program);
    for (const std::string& arg : args) {
        command += " " + QuoteArg(arg);
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_file = CreateFileA(out.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err_file = CreateFileA(err.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_file;
    startup.hStdError = err_file;
    PROCESS_INFORMATION process{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    DWORD status = static_cast<DWORD>(-1);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out_file);
    CloseHandle(err_file);
    return static_cast<int>(status);
}
#else
std::string QuoteArg(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

int Spawn(const std::string& program, const std::vector<std::string>& args, const fs::path& out,
          const fs::path& err) {
    std::string command = QuoteArg(program);
    for (const std::string& arg : args) {
        command += " " + QuoteArg(arg);
    }
    command += " >" + QuoteArg(out.string()) + " 2>" + QuoteArg(err.string()) + " </dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

ScratchDir::ScratchDir() {
    static std::mt19937 names(std::random_device{}());
    path_ = fs::temp_directory_path() / ("qelvor-pack-test-" + std::to_string(names()));
    fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Bytes MakeContent(size_t size, uint32_t seed, bool compressible) {
    std::mt19937 random(seed);
    Bytes content(size);
    static const char WORDS[] = "the quick brown fox jumps over a lazy dog setup install ";
    for (size_t i = 0; i < size; ++i) {
        content[i] = compressible ? static_cast<uint8_t>(WORDS[random() % (sizeof WORDS - 1)])
                                  : static_cast<uint8_t>(random());
    }
    return content;
}

void WriteFile(const fs::path& path, const Bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

Bytes ReadFile(const fs::path& path) {
    std::string text = Slurp(path);
    return Bytes(text.begin(), text.end());
}

uint32_t GetU32(const Bytes& bytes, size_t offset) {
    return static_cast<uint32_t>(bytes.at(offset)) |
           static_cast<uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<uint32_t>(bytes.at(offset + 2)) << 16 |
           static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

void PutU32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

size_t RecordOffset(const Bytes& launcher, size_t index, size_t field_offset) {
    uint32_t count = GetU32(launcher, launcher.size() - PAYLOAD_COUNT_SIZE);
    return launcher.size() - PAYLOAD_COUNT_SIZE - count * PAYLOAD_ENTRY_SIZE +
           index * PAYLOAD_ENTRY_SIZE + field_offset;
}

std::vector<PayloadEntry> ReadEntries(const Bytes& launcher) {
    uint32_t count = GetU32(launcher, launcher.size() - PAYLOAD_COUNT_SIZE);
    std::vector<PayloadEntry> entries(count);
    std::memcpy(entries.data(), launcher.data() + RecordOffset(launcher, 0, 0),
                count * sizeof(PayloadEntry));
    return entries;
}

namespace {
constexpr size_t PE_AT = 0x40;                     // e_lfanew of PeStub's headers
constexpr size_t OPTIONAL_AT = PE_AT + 24;         // after "PE\0\0" and the file header
constexpr size_t SECURITY_AT = OPTIONAL_AT + 144;  // PE32+ data directory 4
constexpr size_t OPTIONAL_SIZE = 240;              // PE32+ with 16 data directories
}  // namespace

Bytes PeStub(size_t size, uint32_t table_offset, uint32_t table_size) {
    Bytes stub = MakeContent(size, 21, false);
    std::fill(stub.begin(), stub.begin() + OPTIONAL_AT + OPTIONAL_SIZE, 0);
    PutU32(stub, 0, 0x5A4D);  // "MZ"
    PutU32(stub, 0x3C, PE_AT);
    PutU32(stub, PE_AT, 0x00004550);  // "PE\0\0"
    PutU32(stub, PE_AT + 4, 0x8664);  // Machine: x64
    PutU32(stub, PE_AT + 20, OPTIONAL_SIZE);
    PutU32(stub, OPTIONAL_AT, 0x20B);     // PE32+
    PutU32(stub, OPTIONAL_AT + 108, 16);  // NumberOfRvaAndSizes
    PutU32(stub, SECURITY_AT, table_offset);
    PutU32(stub, SECURITY_AT + 4, table_size);
    return stub;
}

void GrowStub(Bytes& launcher, size_t extra) {
    std::vector<PayloadEntry> entries = ReadEntries(launcher);
    size_t directory = RecordOffset(launcher, 0, 0);
    uint32_t stub_size = entries[0].unpacked_total;
    entries[0].unpacked_total = entries[0].packed_total = stub_size + uint32_t(extra);
    entries[0].chunks[0] = {stub_size + uint32_t(extra), stub_size + uint32_t(extra)};
    for (size_t i = 1; i < entries.size(); ++i) {
        entries[i].data_offset += uint32_t(extra);
    }
    const uint8_t* records = reinterpret_cast<const uint8_t*>(entries.data());
    std::copy(records, records + entries.size() * sizeof(PayloadEntry), &launcher[directory]);
    launcher.insert(launcher.begin() + stub_size, extra, 0);
}

size_t SignLikeATool(Bytes& launcher, uint32_t table_size) {
    size_t padding = (8 - launcher.size() % 8) % 8;
    launcher.insert(launcher.end(), padding, 0);
    uint32_t table_offset = static_cast<uint32_t>(launcher.size());
    Bytes table = MakeContent(table_size, 22, false);
    launcher.insert(launcher.end(), table.begin(), table.end());
    PutU32(launcher, SECURITY_AT, table_offset);
    PutU32(launcher, SECURITY_AT + 4, table_size);
    return padding;
}

namespace {
// Appends value in `width` bytes, little-endian, or big-endian as PNG has it.
void Append(Bytes& bytes, uint32_t value, int width, bool big_endian = false) {
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> 8 * (big_endian ? width - 1 - i : i)));
    }
}

Bytes IconImageBytes(const IconImageShape& shape, uint32_t seed) {
    Bytes out;
    if (shape.png) {  // CRCs left 0: nothing here checks them
        out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
        Append(out, shape.side, 4, true);
        Append(out, shape.side, 4, true);
        out.insert(out.end(),
                   {8, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'I', 'E', 'N', 'D', 0, 0, 0, 0});
        return out;
    }
    uint32_t palette = shape.bits <= 8 ? 1u << shape.bits : 0;  // entries
    uint32_t rows =
        shape.side * ((shape.side * shape.bits + 31) / 32 * 4 + (shape.side + 31) / 32 * 4);
    Append(out, 40, 4);
    Append(out, shape.side, 4);
    Append(out, 2 * shape.side, 4);
    Append(out, 1, 2);
    Append(out, shape.bits, 2);
    out.resize(40 + 4 * palette, 0);
    Bytes pixels = MakeContent(rows, seed, false);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}
}  // namespace

Bytes IconFile(const std::vector<IconImageShape>& shapes, std::vector<Bytes>* images) {
    Bytes file{0, 0, 1, 0};
    Append(file, static_cast<uint32_t>(shapes.size()), 2);
    Bytes data;  // the images, after the directory
    for (size_t i = 0; i < shapes.size(); ++i) {
        Bytes image = IconImageBytes(shapes[i], 40 + static_cast<uint32_t>(i));
        Append(file, shapes[i].side % 256 * 0x101, 4);  // width, height, no colours, reserved
        Append(file, 0, 4);  // planes and bits left 0, as many tools write them
        Append(file, static_cast<uint32_t>(image.size()), 4);
        Append(file, static_cast<uint32_t>(6 + 16 * shapes.size() + data.size()), 4);
        data.insert(data.end(), image.begin(), image.end());
        if (images != nullptr) {
            images->push_back(image);
        }
    }
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

bool HavePackProgram() {
    return std::getenv("QELVOR_PACK") != nullptr;
}

RunResult RunPack(const std::vector<std::string>& args) {
    const char* program = std::getenv("QELVOR_PACK");
    if (program == nullptr) {
        throw std::runtime_error("QELVOR_PACK is not set");
    }
    return RunProgram(program, args);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ScratchDir capture;
    RunResult result;
#ifdef _WIN32
    result.status = Spawn(WindowsPath(program), args, capture / "out", capture / "err");
#else
    result.status = Spawn(program, args, capture / "out", capture / "err");
#endif
    result.out = Slurp(capture / "out");
    result.err = Slurp(capture / "err");
    return result;
}

std::vector<std::string> FolderListing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        names.push_back(fs::relative(entry.path(), folder).generic_string() +
                        (entry.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace packtest
