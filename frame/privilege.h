// Dropping root after start-up for the account named by Vorlan_user in
// /opt/vorlan/config/Vorlan.ini.
#pragma once

#include <sys/types.h>

const char *get_ini_Vorlan_user();
// The same lookup on the given file; "root" when it has no usable entry.
const char *read_vorlan_user(const char *path);
void change_gid_uid();
// The primary group of the account change_gid_uid drops to (root's: 0).
gid_t service_account_group();
// After the drop: a level-2 line when the account cannot open `device`.
void check_device_after_drop(const char *device);
