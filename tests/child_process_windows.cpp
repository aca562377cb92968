// The Windows side of child_process.h: CreateProcess with pipes.
#include "child_process.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

namespace test {

namespace {

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::string quote_argument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string q = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quotation mark follows them.
        q.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(backslashes * 2, '\\');
    q += '"';
    return q;
}

std::string command_line_for(const std::string& program, const std::vector<std::string>& args)
{
    std::string line = quote_argument(program);
    for (const auto& a : args) {
        line += ' ';
        line += quote_argument(a);
    }
    return line;
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// This process's environment with the changes applied, as a CreateProcess
// block; names compare without case, as Windows does.
std::string environment_block(const std::vector<std::pair<std::string, std::optional<std::string>>>& changes)
{
    std::map<std::string, std::string> vars;  // upper-case name -> "Name=value"
    char* env = GetEnvironmentStringsA();
    for (const char* p = env; *p != 0; p += std::strlen(p) + 1) {
        std::string entry = p;
        // Entries such as "=C:=C:\dir" have an empty name before the '='.
        std::size_t eq = entry.find('=', 1);
        if (eq != std::string::npos) vars[upper(entry.substr(0, eq))] = entry;
    }
    FreeEnvironmentStringsA(env);
    for (const auto& [name, value] : changes) {
        if (value)
            vars[upper(name)] = name + "=" + *value;
        else
            vars.erase(upper(name));
    }
    std::string block;
    for (const auto& [key, entry] : vars) {
        block += entry;
        block += '\0';
    }
    block += '\0';
    return block;
}

// The C runtime writes every line feed to a pipe as CR LF; tests compare
// the text the program meant to write.
std::string without_crlf(const std::string& raw)
{
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i)
        if (raw[i] != '\r' || i + 1 >= raw.size() || raw[i + 1] != '\n') text += raw[i];
    return text;
}

// A handler, not the inherited "ignore Ctrl+C" flag, so that children
// started later still stop at Ctrl+C.
BOOL WINAPI swallow_ctrl_c(DWORD event) { return event == CTRL_C_EVENT; }

struct pipe_pair {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// A pipe whose write end alone is inherited by the child.
bool make_pipe(pipe_pair& p)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&p.read, &p.write, &sa, 0)) return false;
    SetHandleInformation(p.read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

void close_pipe(pipe_pair& p)
{
    if (p.read) CloseHandle(p.read);
    if (p.write) CloseHandle(p.write);
    p = pipe_pair{};
}

}  // namespace

child::child(const std::string& program, const child_options& opts)
{
    pipe_pair out;
    pipe_pair err;
    if (!make_pipe(out)) return;
    if (!make_pipe(err)) {
        close_pipe(out);
        return;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE nul =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out.write;
    si.hStdError = err.write;
    PROCESS_INFORMATION pi{};
    std::string line = command_line_for(program, opts.args);
    std::string env = environment_block(opts.env);
    // A console of its own (with no window), so that Ctrl+C can be sent to
    // the child alone.
    BOOL ok =
        CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, env.data(),
                       opts.working_dir.empty() ? nullptr : opts.working_dir.c_str(), &si, &pi);
    // Only the child may hold the write ends, so its exit ends our reads.
    CloseHandle(out.write);
    CloseHandle(err.write);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!ok) {
        CloseHandle(out.read);
        CloseHandle(err.read);
        return;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = static_cast<long>(pi.dwProcessId);
    out_fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(out.read), _O_RDONLY | _O_BINARY);
    err_fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(err.read), _O_RDONLY | _O_BINARY);
    reader_ = std::thread(&child::read_pipes, this);
}

child::~child()
{
    if (pid_ > 0 && !wait(std::chrono::milliseconds(0))) {
        TerminateProcess(process_, 137);
        wait(std::chrono::seconds(10));
    }
    if (reader_.joinable()) reader_.join();
    if (process_ != nullptr) CloseHandle(process_);
}

void child::read_pipes()
{
    // Anonymous pipes cannot be polled, so standard error has a thread too.
    auto drain = [this](int fd, std::string& into) {
        char buf[65536];
        for (;;) {
            int n = _read(fd, buf, sizeof buf);
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex_);
            into.append(buf, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
        _close(fd);
    };
    std::thread err_reader(drain, err_fd_, std::ref(err_));
    drain(out_fd_, out_);
    err_reader.join();
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    std::lock_guard<std::mutex> lock(mutex_);
    eof_ = true;
    status_ = static_cast<int>(code & 0xFF);
    changed_.notify_all();
}

bool child::wait_for_output(std::string_view text, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = [&] { return without_crlf(out_).find(text) != std::string::npos; };
    return changed_.wait_for(lock, timeout, [&] { return eof_ || found(); }) && found();
}

void child::send_signal(int sig)
{
    if (pid_ <= 0) return;
    if (sig == SIGINT) {
        // Ctrl+C goes to every process of a console: join the child's and
        // swallow it here. This process keeps no console afterwards.
        static const BOOL swallowing = SetConsoleCtrlHandler(swallow_ctrl_c, TRUE);
        FreeConsole();
        if (swallowing && AttachConsole(static_cast<DWORD>(pid_))) {
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            FreeConsole();
        }
        return;
    }
    // No other signal reaches a Windows process from outside: it ends at once.
    TerminateProcess(process_, static_cast<UINT>(128 + sig));
}

std::string child::out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return without_crlf(out_);
}

std::string child::err()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return without_crlf(err_);
}

}  // namespace test
