// A CUPS backend for the scheduler tests. Its device URI names where the
// job's data goes and the device ID it reports over the side channel:
//
//   quovtest:/path/to/file?id=MFG:Quovel%3BMDL:...   answers with that ID
//   quovtest:/path/to/file                           answers "not implemented"
//   ...&slow                                         takes the data slowly
//   ...&mute                                         never answers the side channel
//   ...&perjob                                       writes to /path/to/file.JOB-ID
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <ctime>
#include <unistd.h>

#include <cups/backend.h>
#include <cups/sidechannel.h>

#include "common/io.h"

namespace {

std::string percent_decode(const std::string &in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size()) {
            out += static_cast<char>(strtol(in.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += in[i];
        }
    }
    return out;
}

// Answers one request; false once the filters' end has gone.
bool answer_side_channel(const std::string &device_id, bool has_id)
{
    cups_sc_command_t command;
    cups_sc_status_t status;
    char data[2048];
    int len = sizeof(data);
    if (cupsSideChannelRead(&command, &status, data, &len, 1.0) != 0)
        return false;
    if (command == CUPS_SC_CMD_GET_DEVICE_ID && has_id) {
        fprintf(stderr, "DEBUG: quovtest: side-channel request GET_DEVICE_ID answered with \"%s\"\n",
                device_id.c_str());
        cupsSideChannelWrite(command, CUPS_SC_STATUS_OK, device_id.data(),
                             static_cast<int>(device_id.size()), 1.0);
    } else {
        fprintf(stderr, "DEBUG: quovtest: side-channel request %d not implemented\n", command);
        cupsSideChannelWrite(command, CUPS_SC_STATUS_NOT_IMPLEMENTED, nullptr, 0, 1.0);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 1) {
        puts("direct quovtest \"Quovel\" \"Quovel test backend\"");
        return CUPS_BACKEND_OK;
    }
    if (argc < 6 || argc > 7) {
        fputs("Usage: quovtest job-id user title copies options [file]\n", stderr);
        return CUPS_BACKEND_FAILED;
    }

    const char *uri = getenv("DEVICE_URI");
    std::string target = uri != nullptr && strncmp(uri, "quovtest:", 9) == 0 ? uri + 9 : "";
    std::string device_id;
    bool has_id = false;
    bool slow = false;
    bool per_job = false;
    bool mute = false;
    const size_t query = target.find('?');
    if (query != std::string::npos) {
        std::string params = target.substr(query + 1) + "&";
        target.erase(query);
        for (size_t end; (end = params.find('&')) != std::string::npos; params.erase(0, end + 1)) {
            const std::string param = params.substr(0, end);
            if (param.rfind("id=", 0) == 0) {
                has_id = true;
                device_id = percent_decode(param.substr(3));
            }
            slow = slow || param == "slow";
            per_job = per_job || param == "perjob";
            mute = mute || param == "mute";
        }
    }

    if (per_job)
        target += std::string(".") + argv[1];
    const int in = argc == 7 ? open(argv[6], O_RDONLY) : STDIN_FILENO;
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) {
        fprintf(stderr, "ERROR: quovtest: can't open \"%s\": %s\n", target.c_str(), strerror(errno));
        return CUPS_BACKEND_FAILED;
    }

    // Serve the side channel while the job's data comes in, as a real
    // backend's run loop does. A mute one only says that a request came,
    // so that a test knows the filter is waiting for its answer.
    bool side_channel_open = true;
    char buffer[65536];
    for (;;) {
        pollfd fds[2] = {{in, POLLIN, 0}, {CUPS_SC_FD, POLLIN, 0}};
        if (poll(fds, side_channel_open ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (side_channel_open && fds[1].revents != 0 && mute) {
            if ((fds[1].revents & POLLIN) != 0)
                fputs("DEBUG: quovtest: side-channel request left unanswered\n", stderr);
            side_channel_open = false;
        } else if (side_channel_open && fds[1].revents != 0) {
            side_channel_open = (fds[1].revents & POLLIN) != 0 && answer_side_channel(device_id, has_id);
        }
        if (fds[0].revents != 0) {
            // Slowly, the job is taken at about 200 KB/s so that it can be
            // cancelled while the filter copies.
            const ssize_t n = read(in, buffer, slow ? 4096 : sizeof(buffer));
            if (slow) {
                const timespec pause = {0, 20000000}; // 20 ms
                nanosleep(&pause, nullptr);
            }
            if (n <= 0)
                break;
            if (write_all(out, buffer, static_cast<size_t>(n)) != static_cast<size_t>(n)) {
                perror("ERROR: quovtest: write");
                return CUPS_BACKEND_FAILED;
            }
        }
    }
    close(out);
    return CUPS_BACKEND_OK;
}
