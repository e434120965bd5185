// The privilege drop at the end of start-up. See privilege.h.
#include "frame/privilege.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bounded/securec.h"
#include "frame/log.h"

namespace {

constexpr size_t INI_PATH_LEN = 1024;
constexpr size_t INI_LINE_LEN = 1024;
constexpr char INI_DIR[] = "/opt/vorlan/config";
constexpr char INI_FILE[] = "Vorlan.ini";
constexpr char INI_USER_KEY[] = "Vorlan_user";
constexpr char DEFAULT_USER[] = "root";

// The returned name points into this buffer; one lookup per process.
char ini_line[INI_LINE_LEN];

// The value of `line` when its key (the text before the first '=', not
// trimmed) is exactly Vorlan_user; null otherwise.
const char *user_key_value(char *line) {
    if (line[0] == '#') {
        return nullptr;
    }
    char *eq = strchr(line, '=');
    if (eq == nullptr) {
        return nullptr;
    }
    size_t key_len = static_cast<size_t>(eq - line);
    if (key_len != strlen(INI_USER_KEY) || strncmp(line, INI_USER_KEY, key_len) != 0) {
        return nullptr;
    }
    char *newline = strchr(eq + 1, '\n');
    if (newline != nullptr) {
        *newline = '\0';
    }
    return eq + 1;
}

}  // namespace

const char *read_vorlan_user(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return DEFAULT_USER;
    }
    const char *user = DEFAULT_USER;
    while (fgets(ini_line, sizeof(ini_line), file) != nullptr) {
        const char *value = user_key_value(ini_line);
        if (value != nullptr) {
            user = value;
            break;
        }
    }
    fclose(file);
    return user;
}

const char *get_ini_Vorlan_user() {
    char path[INI_PATH_LEN];
    memset(path, 0, sizeof(path));
    if (sprintf_s(path, sizeof(path), "%s/%s", INI_DIR, INI_FILE) <= 0) {
        return DEFAULT_USER;
    }
    return read_vorlan_user(path);
}

void change_gid_uid() {
    const char *name = get_ini_Vorlan_user();
    struct passwd *pw = getpwnam(name);
    if (pw == nullptr) {
        LOG(LOG_ERROR, "%s is not exist.\n\n", name);
        return;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    // Without this the process would keep root's supplementary groups after
    // giving up root.
    if (uid != 0 && initgroups(name, gid) != 0) {
        LOG(LOG_ERROR, "Set supplementary groups failed.\n\n");
    }
    if (gid != 0 && setgid(gid) != 0) {
        LOG(LOG_ERROR, "Set group ID failed.\n\n");
    }
    if (uid != 0 && setuid(uid) != 0) {
        LOG(LOG_ERROR, "Set user ID failed.\n\n");
    }
}

gid_t service_account_group() {
    struct passwd *pw = getpwnam(get_ini_Vorlan_user());
    return pw != nullptr ? pw->pw_gid : 0;
}

void check_device_after_drop(const char *device) {
    if (getuid() == 0 || access(device, R_OK | W_OK) == 0) {
        return;
    }
    // The device is reopened after it goes away, by this account: without
    // access the first hiccup would cut the agent off for good.
    int err = errno;
    struct passwd *pw = getpwuid(getuid());
    LOG(LOG_ERROR, "%s cannot open %s, error code: %d; a lost device will not be reopened.\n",
        pw != nullptr ? pw->pw_name : "?", device, err);
}
