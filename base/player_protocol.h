// What the screensaver and a movie player agree on beyond the argument file's
// usual variables: a player waiting in standby.
//
// A player that can wait says so in its version resource: the value
// kStandbyVersionValue of its StringFileInfo is "1". Such a player, given
// kStandbyVariable=1 in its argument file, makes its window hidden, gets
// ready to play (reads the movie, opens what it needs) and waits, its clock
// not running, until the registered message kBeginMessage reaches that
// window; then it shows the window and plays. The screensaver starts the
// next skit's player so while the current one plays, and the moment the
// current one ends the waiting one begins, with no black between them. A
// player that does not say it can wait is started when its turn comes.
#pragma once

namespace player_protocol {

inline constexpr char kStandbyVariable[] = "SS_Standby";
inline constexpr char kStandbyVersionValue[] = "SS_Standby";
inline constexpr char kBeginMessage[] = "DrearigramsBeginSkit";

}  // namespace player_protocol
