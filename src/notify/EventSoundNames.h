#pragma once

#include <cstdint>

namespace orlavonix {

inline constexpr int32_t EventSoundCount = 30;

struct TEventSoundName {
  const char* DisplayName; // as the options dialog shows it
  const char* DefaultFile; // in the sounds directory
};

// Events 1 to 30, in order.
inline constexpr TEventSoundName EventSoundNames[EventSoundCount] = {
    {"Connected", "04.linkengaged.wav"},
    {"Disconnected", "03.linkdisengaged.wav"},
    {"Connection lost", "26.yourconnterminated.wav"},
    {"Kick and Disconnected", "23.youwerekserver.wav"},
    {"Player kicked", "21.playerkicked.wav"},
    {"Kicked from channel", "22.youwerekicked.wav"},
    {"Switched Channel", "27.switchedchannel.wav"},
    {"Player joined", "07.newplayer.wav"},
    {"Player left", "08.playerleft.wav"},
    {"Registered player joined", "11.memberjoined.wav"},
    {"Registered player left", "12.memberleft.wav"},
    {"Microphone muted", "29.micmuted.wav"},
    {"Microphone activated", "30.micactivated.wav"},
    {"Sound muted", "32.soundmuted.wav"},
    {"Sound activated", "34.soundresumed.wav"},
    {"Voice granted", "35.v_stat_granted.wav"},
    {"Voice revoked", "36.v_stat_revoked.wav"},
    {"Voice requested", "37.v_requested.wav"},
    {"Operator granted", "38.op_stat_granted.wav"},
    {"Operator revoked", "39.op_stat_revoked.wav"},
    {"Admin granted", "40.adm_stat_granted.wav"},
    {"Admin revoked", "41.adm_stat_revoked.wav"},
    {"Server admin granted", "42.servadm_stat_granted.wav"},
    {"Server admin revoked", "43.serveradm_stat_revoked.wav"},
    {"Registration complete", "44.registrationcomplete.wav"},
    {"Registration failed", "45.registrationfailed.wav"},
    {"Incorrect Password", "46.incorrectpassword.wav"},
    {"Access denied", "47.accessdenied.wav"},
    {"Warning", "48.warning.wav"},
    {"Error", "49.error.wav"},
};

} // namespace orlavonix
