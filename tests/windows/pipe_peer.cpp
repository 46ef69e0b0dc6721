// A pipe peer in a process of its own, for tests that need one running with
// another identity (started with a restricted token, as a user who is not an
// administrator):
//
//   pipe_peer serve NAME   creates NAME, takes one client and reads until
//                          it closes; exit status: the bytes read. Gives up
//                          after 10 s without a client.
//   pipe_peer send NAME N  connects to NAME (waiting up to 10 s for it to
//                          exist), writes N bytes and closes; exit status 0
//                          when written, otherwise 1000 + the error.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int serve(const char* name)
{
    const HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                         64 * 1024, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return 1000 + static_cast<int>(GetLastError());
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
    if (!connected) {
        const DWORD error = GetLastError();
        connected = error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
                CancelIoEx(pipe, &overlapped);
            }
            DWORD ignored = 0;
            connected = GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE;
        }
    }
    int total = 0;
    while (connected) {
        static char buffer[64 * 1024];
        DWORD got = 0;
        ResetEvent(overlapped.hEvent);
        if (!ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        if (WaitForSingleObject(overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
        }
        if (!GetOverlappedResult(pipe, &overlapped, &got, TRUE) || got == 0) {
            break;
        }
        total += static_cast<int>(got);
    }
    CloseHandle(overlapped.hEvent);
    CloseHandle(pipe);
    return total;
}

int send(const char* name, unsigned long count)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 200 && pipe == INVALID_HANDLE_VALUE; ++tries) {
        pipe = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) {
                return 1000 + static_cast<int>(error);
            }
            Sleep(50);
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return 1000 + static_cast<int>(GetLastError());
    }
    std::vector<char> bytes(count, 'x');
    DWORD written = 0;
    const bool ok = count == 0 ||
                    (WriteFile(pipe, bytes.data(), count, &written, nullptr) && written == count);
    const DWORD error = ok ? 0 : GetLastError();
    CloseHandle(pipe);
    return ok ? 0 : 1000 + static_cast<int>(error);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0) {
        return serve(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "send") == 0) {
        return send(argv[2], std::strtoul(argv[3], nullptr, 10));
    }
    return 2;
}
