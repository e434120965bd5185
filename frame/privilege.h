// Dropping root after start-up for the account named by Vorlan_user in
// /opt/vorlan/config/Vorlan.ini.
#pragma once

const char *get_ini_Vorlan_user();
void change_gid_uid();
