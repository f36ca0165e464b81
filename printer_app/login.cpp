// Basic logins checked by PAM, and the admin group checked with every group
// a user is in.
#include "printer_app/login.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <vector>

namespace {

struct Credentials {
    const char *user;
    const char *password;
};

void free_replies(pam_response *replies, int count)
{
    for (int i = 0; i < count; i++) {
        if (replies[i].resp != nullptr) {
            explicit_bzero(replies[i].resp, strlen(replies[i].resp));
            free(replies[i].resp);
        }
    }
    free(replies);
}

// PAM asks; the credentials from the request answer. PAM frees the replies.
int conversation(int num_msg, const pam_message **msg, pam_response **resp, void *appdata)
{
    if (num_msg <= 0)
        return PAM_CONV_ERR;
    const auto *cred = static_cast<const Credentials *>(appdata);
    auto *replies = static_cast<pam_response *>(calloc(static_cast<size_t>(num_msg),
                                                       sizeof(pam_response)));
    if (replies == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < num_msg; i++) {
        const char *answer = nullptr;
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_ON)
            answer = cred->user;
        else if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            answer = cred->password;
        if (answer != nullptr && (replies[i].resp = strdup(answer)) == nullptr) {
            free_replies(replies, num_msg);
            return PAM_BUF_ERR;
        }
    }
    *resp = replies;
    return PAM_SUCCESS;
}

int pam_login(const char *service, const Credentials &cred, const char *rhost)
{
    pam_conv conv{conversation, const_cast<Credentials *>(&cred)};
    pam_handle_t *pamh = nullptr;
    int err = pam_start(service, cred.user, &conv, &pamh);
    if (err == PAM_SUCCESS && rhost != nullptr)
        err = pam_set_item(pamh, PAM_RHOST, rhost);
    if (err == PAM_SUCCESS)
        err = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (err == PAM_SUCCESS)
        err = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (pamh != nullptr)
        pam_end(pamh, err);
    return err;
}

} // namespace

bool login_user_in_group(const char *user, gid_t groupid)
{
    passwd pw{};
    passwd *found = nullptr;
    char buf[16384];
    if (getpwnam_r(user, &pw, buf, sizeof(buf), &found) != 0 || found == nullptr)
        return false;
    if (pw.pw_gid == groupid)
        return true;
    // glibc returns the count, or -1 with the count needed in n.
    int n = 64;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (getgrouplist(user, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (getgrouplist(user, pw.pw_gid, groups.data(), &n) < 0)
            return false;
    }
    for (int i = 0; i < n; i++) {
        if (groups[static_cast<size_t>(i)] == groupid)
            return true;
    }
    return false;
}

http_status_t login_authorize(pappl_client_t *client, const char *group, gid_t groupid,
                              void *data)
{
    (void)data;
    const char *field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (field == nullptr || strncmp(field, "Basic ", 6) != 0)
        return HTTP_STATUS_UNAUTHORIZED; // asks for a Basic login
    for (field += 6; isspace(static_cast<unsigned char>(*field)) != 0; field++) {
    }

    char decoded[512];
    int len = static_cast<int>(sizeof(decoded));
    httpDecode64_2(decoded, &len, field);
    char *password = strchr(decoded, ':');
    if (password == nullptr) {
        papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Bad Basic Authorization header value seen.");
        return HTTP_STATUS_BAD_REQUEST;
    }
    *password++ = '\0';

    const Credentials cred{decoded, password};
    const char *service = papplSystemGetAuthService(papplClientGetSystem(client));
    const int err = pam_login(service, cred, papplClientGetHostName(client));
    explicit_bzero(password, strlen(password));
    if (err != PAM_SUCCESS) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Login of '%s' refused by PAM (%s): %s",
                       decoded, service, pam_strerror(nullptr, err));
        return HTTP_STATUS_UNAUTHORIZED;
    }
    // "none" is PAPPL's word for no admin group.
    const bool named = group != nullptr && *group != '\0' && strcmp(group, "none") != 0;
    if (named && groupid == static_cast<gid_t>(-1)) {
        papplLogClient(client, PAPPL_LOGLEVEL_ERROR,
                       "Login of '%s' refused: the admin group '%s' does not exist.", decoded,
                       group);
        return HTTP_STATUS_FORBIDDEN;
    }
    if (named && !login_user_in_group(decoded, groupid)) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Login of '%s' refused: not in group '%s'.",
                       decoded, group);
        return HTTP_STATUS_FORBIDDEN;
    }
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Logged in as '%s'.", decoded);
    return HTTP_STATUS_CONTINUE;
}
