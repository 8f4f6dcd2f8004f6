#pragma once
// Where an installed program keeps what a portable copy keeps beside its
// executable. A copy in a folder its user can write keeps its settings file
// and device links there; one installed in a folder its user cannot write
// (or in a system program folder, even for root) keeps them per user under
// the user's configuration folder, with a system-wide folder of defaults the
// technician fills. Tests replace the system folders through the environment:
// KIVO_SYSCONF_DIR for /etc/tarvio, KIVO_DEV_ROOT for /dev and KIVO_SYS_ROOT
// for /sys.

#include <filesystem>

namespace kivo::win {

// The running executable's path, empty when it cannot be told.
std::filesystem::path ExecutablePath();

// True when folder cannot keep a program's own files: its user may not
// write there, or it is one of the system's program folders (/usr/bin,
// /usr/local/bin, /bin, /usr/sbin, ...) where not even root should.
bool IsInstalledFolder(const std::filesystem::path& folder);

// $XDG_CONFIG_HOME/tarvio, else $HOME/.config/tarvio (absolute values only,
// as the base directory rules say); empty when neither can be told.
std::filesystem::path UserConfigDir();

// /etc/tarvio, or $KIVO_SYSCONF_DIR when set.
std::filesystem::path SystemConfigDir();

// Where a program keeps its own file that a portable copy keeps at path,
// beside its executable: path itself when its folder is no installed folder,
// else the same name in UserConfigDir() (path itself when that cannot be
// told). Decided once, at start-up: a folder that later turns read-only
// does not move the file.
std::filesystem::path UserFilePath(const std::filesystem::path& path);

// For a file inside UserConfigDir(), the file at the same place under
// SystemConfigDir(): the technician's defaults it starts from. Empty for any
// other path.
std::filesystem::path SystemFileFor(const std::filesystem::path& userFile);

// /dev, or $KIVO_DEV_ROOT when set: every device path the stack builds or
// scans starts here.
std::filesystem::path DevRoot();

// /sys, or $KIVO_SYS_ROOT when set; empty when only KIVO_DEV_ROOT is: the
// kernel knows nothing about a fake dev root's nodes.
std::filesystem::path SysRoot();

// Claims file (by its resolved path) for this process until it ends, so
// that a second copy of the program started on the same settings can tell;
// false when another process of this machine holds the claim. Nothing is
// made in the file system and nothing is left behind by a crash. Claimed
// when the system will not say: a second copy is not worth a refused start.
bool ClaimForThisProcess(const std::filesystem::path& file);

} // namespace kivo::win
