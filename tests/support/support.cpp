#include "tests/support/support.h"

#include <cstdlib>
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <ftw.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quovel-test.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        abort();
    path_ = templ;
}

TempDir::~TempDir()
{
    // Deepest first, so that folders are empty when their turn comes.
    nftw(
        path_.c_str(),
        [](const char *path, const struct stat *, int, FTW *) {
            remove(path); // what can't go stays; the walk goes on
            return 0;
        }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string &name, const std::string &content, mode_t mode) const
{
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    chmod(file.c_str(), mode);
    return file;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string random_bytes(size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    std::generate(out.begin(), out.end(), [&gen] { return static_cast<char>(gen() & 0xff); });
    return out;
}

void install_fake_cat(const TempDir &dir, const std::string &banner, bool slow)
{
    const std::string banner_file = dir.write("banner", banner);
    // The stalled cat lets go of the side channel, so that the peer is not
    // kept waiting for it once the filter has gone. It stalls as itself (exec),
    // so that a filter that kills its cat leaves nothing behind.
    const std::string stall = slow ? ": >'" + dir.path() + "/cat-started'; exec 4>&-; exec /bin/sleep 60\n" : "";
    dir.write("cat",
              "#!/bin/sh\n"
              "[ $# -eq 1 ] && [ \"$1\" = /etc/issue ] || exit 3\n" +
                  stall + "exec /bin/cat '" + banner_file + "'\n",
              0755);
}

Peer start_peer(PeerMode mode, cups_sc_status_t status, const std::string &data)
{
    int sv[2];
    if (socketpair(AF_LOCAL, SOCK_STREAM, 0, sv) < 0)
        abort();

    Peer peer;
    peer.pid = fork();
    if (peer.pid == 0) {
        // libcups speaks the side channel on descriptor 4 only.
        if (sv[0] != CUPS_SC_FD)
            close(sv[0]);
        if (sv[1] != CUPS_SC_FD) {
            dup2(sv[1], CUPS_SC_FD);
            close(sv[1]);
        }
        cups_sc_command_t command;
        cups_sc_status_t ignored;
        char request[1024];
        int request_len = sizeof(request);
        if (cupsSideChannelRead(&command, &ignored, request, &request_len, 30.0) != 0)
            _exit(0);
        if (mode == PeerMode::Answer)
            cupsSideChannelWrite(command, status, data.data(), static_cast<int>(data.size()), 30.0);
        if (mode == PeerMode::WrongCommand)
            cupsSideChannelWrite(CUPS_SC_CMD_GET_STATE, status, data.data(), static_cast<int>(data.size()), 30.0);
        if (mode == PeerMode::Silent) {
            char byte;
            while (read(CUPS_SC_FD, &byte, 1) > 0)
                ;
        }
        if (mode == PeerMode::HalfReply) {
            const unsigned char header[] = {static_cast<unsigned char>(command), CUPS_SC_STATUS_OK};
            if (write(CUPS_SC_FD, header, sizeof(header)) < 0)
                _exit(1);
        }
        _exit(command);
    }
    close(sv[1]);
    peer.fd = sv[0];
    return peer;
}

int finish_peer(Peer &peer)
{
    if (peer.fd >= 0)
        close(peer.fd);
    peer.fd = -1;
    int status = 0;
    if (waitpid(peer.pid, &status, 0) < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

int count_open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n - 3; // ".", ".." and the directory's own descriptor
}

} // namespace test
