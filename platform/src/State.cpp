#include "State.h"

#include <platform_controls.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace platform {

const char kStateDirVariable[] = "PLATFORM_STATE_DIR";

std::string StateDir()
{
    const char* dir = std::getenv(kStateDirVariable);
    std::string path = dir != nullptr && *dir != 0 ? dir : "platform-state";
    std::error_code ignored;
    fs::create_directories(path, ignored);
    return path;
}

void ResetState()
{
    std::string dir = StateDir();
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored))
        fs::remove_all(entry.path(), ignored);
    detail::Process() = detail::ProcessState();
}

void FailCall(const std::string& call, long status, int occurrence)
{
    detail::AppendStateLine("faults",
                            call + " " + std::to_string(status) + " " + std::to_string(occurrence));
}

std::vector<std::string> CallLog()
{
    return detail::ReadStateLines("calls.log");
}

namespace detail {

std::vector<std::string> ReadStateLines(const std::string& file)
{
    std::vector<std::string> lines;
    std::string content;
    if (!ReadStateFile(file, &content))
        return lines;
    std::istringstream stream(content);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string StatePath(const std::string& file)
{
    return StateDir() + "/" + file;
}

bool ReadStateFile(const std::string& file, std::string* content)
{
    std::ifstream in(StatePath(file), std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *content = buffer.str();
    return true;
}

void WriteStateFile(const std::string& file, const std::string& content)
{
    std::string target = StatePath(file);
    fs::create_directories(fs::path(target).parent_path());
    std::string temporary = target + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
    }
    fs::rename(temporary, target);
}

void AppendStateLine(const std::string& file, const std::string& line)
{
    // O_APPEND keeps lines from separate processes whole.
    int fd = open(StatePath(file).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

void RemoveStateFile(const std::string& file)
{
    std::error_code ignored;
    fs::remove(StatePath(file), ignored);
}

StateLock::StateLock() : fd_(open(StatePath(".lock").c_str(), O_RDWR | O_CREAT, 0644))
{
    if (fd_ >= 0)
        flock(fd_, LOCK_EX);
}

StateLock::~StateLock()
{
    if (fd_ >= 0) {
        flock(fd_, LOCK_UN);
        close(fd_);
    }
}

bool EnterCall(const char* call, long* status)
{
    AppendStateLine("calls.log", call);
    int count = ++Process().callCounts[call];

    std::string faults;
    if (!ReadStateFile("faults", &faults))
        return false;
    std::istringstream lines(faults);
    std::string name;
    long failure;
    int occurrence;
    while (lines >> name >> failure >> occurrence) {
        if (name == call && (occurrence == 0 || occurrence == count)) {
            *status = failure;
            return true;
        }
    }
    return false;
}

ProcessState& Process()
{
    static ProcessState state;
    return state;
}

std::string ToHex(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string ToUtf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        ++i;
        for (int k = 0; k < extra && i < text.size(); ++k, ++i)
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        out += static_cast<wchar_t>(code);
    }
    return out;
}

std::string ToUpperAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace detail
}  // namespace platform
