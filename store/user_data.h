// Each user's screensaver keeps its data in that user's own folder, which no
// other account can change: the installation's values name
// "%LOCALAPPDATA%\Drearigrams\..." (expanded by the settings as they are
// read). The setup, running once for the machine, cannot fill every user's
// folder, so it leaves a seed in the program folder, which only
// administrators can change, and names it in the installation key
// ("SeedPath"):
//
//   <seed>\drearigrams.pak   the starting catalogue, with the maker's key
//   <seed>\skits\            the starting skits, notice movies and pictures
//   <seed>\skitplay.exe      the master copy of the player
//
// (the catalogue and the player under the file names that the user's
// OpsFilePath and Player give them). The first time a user's screensaver or
// dialog starts, the user has no catalogue yet: PrepareUserData makes the
// user's folders and copies the seed's skits and then its catalogue there.
// The catalogue is copied last and put in place by a rename, so a start
// that was cut short leaves no catalogue and the next start copies again.
// The player must lie beside its argument file, in the user's folder; it is
// copied from the master copy, and copied again whenever the two differ
// (after a new setup).
//
// A catalogue that does not open as a catalogue (a damaged archive or block)
// would leave the user stuck: nothing ever replaces it, and setting the
// program up again leaves the users' folders alone. OpenUserCatalogue sets
// such a file aside beside itself, under a dated name it never overwrites,
// for the maker's support, and the user starts again from the seed.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

class cSettings;
class cSkitManager;

// The name of the seed's skits folder.
constexpr char SEED_SKITS_FOLDER[] = "skits";

// Makes the user's folders and fills them from the seed as described above.
// Does nothing for an installation without a seed (SeedPath empty). Throws
// std::runtime_error with a text for the user when the folders cannot be
// made, the seed is missing, or a copy fails.
void PrepareUserData(const cSettings& settings);

// Removes what a crash leaves behind: staged files ("~dg", eight hex digits,
// ".new") in the skits, download and catalogue folders, and beside the
// catalogue a copy of the seed's ("<catalogue>.<digits>.new") or of the
// catalogue being rebuilt ("<catalogue>1"). A file still open (another of
// the user's screensavers writing it now) does not go and is left.
void RemoveLeftoverFiles(const cSettings& settings);

// Whether two files hold the same bytes (false when either cannot be read).
bool SameFileBytes(const std::string& a, const std::string& b);

// The catalogue of this run, as cSkitManager(runMode) opens it. One that
// does not open because it is missing or corrupt is set aside and the seed's
// copied in its place (with a log line), and notice then says so for the
// user; without a seed, or when the file cannot be moved (someone holds it
// open), the error stands. notice is empty otherwise.
std::unique_ptr<cSkitManager> OpenUserCatalogue(const cSettings& settings, bool runMode, std::string& notice);
// "<folder>\<name>.<yyyy-mm-dd>[.<n>].bad<ext>" for the catalogue at path,
// n from 2 on.
std::string SetAsideName(const std::string& path, const SYSTEMTIME& date, int n);
