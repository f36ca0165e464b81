#include "tests/pappl/harness.h"

#include <cstdio>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool wait_for(const std::function<bool()> &done, std::chrono::seconds bound)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void describe_a4_postscript_printer(pappl_pr_driver_data_t *d, const char *make_and_model, int margin)
{
    d->format = "application/postscript";
    snprintf(d->make_and_model, sizeof(d->make_and_model), "%s", make_and_model);
    d->ppm = 10;
    d->kind = PAPPL_KIND_DOCUMENT;
    d->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    d->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    d->num_resolution = 1;
    d->x_resolution[0] = d->y_resolution[0] = 300;
    d->x_default = d->y_default = 300;
    d->sides_supported = PAPPL_SIDES_ONE_SIDED;
    d->sides_default = PAPPL_SIDES_ONE_SIDED;
    d->left_right = d->bottom_top = margin;
    d->num_media = 1;
    d->media[0] = "iso_a4_210x297mm";
    d->num_source = 1;
    d->source[0] = "main";
    d->num_type = 1;
    d->type[0] = "stationery";
    pappl_media_col_t &m = d->media_default;
    snprintf(m.size_name, sizeof(m.size_name), "iso_a4_210x297mm");
    m.size_width = 21000;
    m.size_length = 29700;
    m.left_margin = m.right_margin = m.top_margin = m.bottom_margin = margin;
    snprintf(m.source, sizeof(m.source), "main");
    snprintf(m.type, sizeof(m.type), "stationery");
    d->media_ready[0] = m;
}
