// Where other agent components write each user session's data: a key of the local machine with
// one subkey per session, named by the session id in decimal. The plug-in reads a session's
// subkey; the host lists the subkeys to know the sessions that have data.
#pragma once

inline constexpr wchar_t kSessionDataKey[] = L"Software\\Zentavo\\Pallido\\SessionData";
// One session's subkey, as a path pattern holding "%d".
inline constexpr wchar_t kSessionDataPattern[] = L"Software\\Zentavo\\Pallido\\SessionData\\%d";
