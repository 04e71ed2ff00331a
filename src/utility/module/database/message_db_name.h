// The file name of the device's message database in a backup (the file id of
// HomeDomain-Library/SMS/sms.db); its companions add "-wal" and "-shm".
#pragma once

inline constexpr char kMessageDbFileName[] = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
