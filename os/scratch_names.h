// The names of the scratch database's file and of the files the engine keeps
// beside it, in the current directory.
#pragma once

inline constexpr const char scratch_db_name[] = "plinth.temp.htnilp";
inline constexpr const char scratch_journal_name[] = "plinth.temp.htnilp-journal";
inline constexpr const char scratch_wal_name[] = "plinth.temp.htnilp-wal";
inline constexpr const char scratch_shm_name[] = "plinth.temp.htnilp-shm";
