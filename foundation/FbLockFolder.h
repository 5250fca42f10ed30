// The folder where this process's embedded Firebird engine keeps its lock tables. The engine reads
// FIREBIRD_LOCK once, at its first use, and defaults to /tmp/firebird; a Firebird server on the same
// machine owns that folder (drwxrwx--- firebird firebird), so a user outside its group could open no
// embedded database at all. ChooseLockFolder then names a folder of the user's own instead.
//
// Two processes with different lock folders must never work on one database file at once, since
// neither would see the other's locks. The engine rules that out itself in its Super mode, the
// default of firebird.conf: it holds an exclusive lock (flock) on every database file it opens, so a
// second process is refused ("already opened with engine instance") whatever its lock folder. In the
// shared modes (SuperClassic, Classic) processes share the file and meet only in the lock folder, so
// there the default folder is kept.
//
// Call from main() before the first Firebird call; not thread-safe (it sets the environment).
#pragma once

#include <string>
#include <string_view>

namespace vespril::fb {

// Sets FIREBIRD_LOCK when it is unset and the default folder is not usable by this user, and the
// engine runs in Super mode: to $XDG_RUNTIME_DIR/firebird, or /tmp/firebird-<uid> without a runtime
// folder, made with mode 0700. Returns the folder the engine will use. Throws Error when the own
// folder exists but is not this user's alone (someone else made it, or it is a symbolic link).
// `defaultFolder` is the engine's own default, another only in tests.
std::string ChooseLockFolder(const std::string& defaultFolder = "/tmp/firebird");

// Whether firebird.conf text sets a mode in which the engine opens database files exclusively
// (Super, its synonym ThreadedDedicated, or no ServerMode line at all).
bool ExclusiveServerMode(std::string_view firebirdConf);

}  // namespace vespril::fb
