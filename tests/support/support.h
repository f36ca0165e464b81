// Helpers shared by the test binaries: scratch folders, a stand-in cat, and a
// side-channel peer that answers as a backend would.
#pragma once

#include <string>
#include <sys/types.h>

#include <cups/sidechannel.h>

namespace test {

// A scratch folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // Writes content to name inside the folder and returns the full path.
    std::string write(const std::string &name, const std::string &content, mode_t mode = 0644) const;

private:
    std::string path_;
};

std::string read_file(const std::string &path);
std::string random_bytes(size_t size, unsigned seed);

// Puts a cat into dir that prints the banner instead of /etc/issue (and
// prints nothing when asked for any other file), so that PATH=dir makes the
// operating-system check read the banner. With slow, it leaves a file
// "cat-started" in dir and then stalls for a minute and prints nothing, like
// a read of a stalled file system: far longer than a test waits for a cancel.
void install_fake_cat(const TempDir &dir, const std::string &banner, bool slow = false);

// How the backend end of the side channel behaves.
// Answer: with the status and data given. HangUp: closes before replying.
// HalfReply: sends half a reply header, then closes. WrongCommand: replies to
// another command than the one asked. Silent: never replies, and holds its
// end until the other side has closed.
enum class PeerMode { Answer, HangUp, HalfReply, WrongCommand, Silent };

// A forked process holding the backend end of a side-channel socket pair on
// its descriptor 4; our end is left in fd. It answers one request with
// status and data through libcups, or hangs up when asked to.
struct Peer {
    pid_t pid = -1;
    int fd = -1;
};
Peer start_peer(PeerMode mode, cups_sc_status_t status, const std::string &data);

// Waits for the peer and returns the command it was sent, or 0 when none came.
int finish_peer(Peer &peer);

// Open descriptors of this process.
int count_open_fds();

} // namespace test
