#include "probe.h"

#if defined(ORVALE_CYCLE_PROBE)

#include "../instance/firmware.h"

ProbeTotals gProbe;

void ProbeReset() { ZeroBytes(&gProbe, sizeof(gProbe)); }

void ProbeReport(UINT64 MinFrames) {
  static const char *const kNames[kProbeKinds] = {
      "send", "transmit", "send-poll", "receive", "idle-poll", "frame-poll", "check-event",
      "igmp", "notify",   "frame-wait", "udp-receive", "udp-send", "arm", "clock", "call"};
  if (gProbe.count[kProbeFrameWait] >= MinFrames) {
    for (UINTN Kind = 0; Kind < kProbeKinds; ++Kind) {
      CHAR16 Line[80];
      UINTN At = 0;
      auto Text = [&](const char *T) {
        while (*T != '\0' && At + 1 < sizeof(Line) / sizeof(Line[0])) Line[At++] = static_cast<CHAR16>(*T++);
      };
      auto Number = [&](UINT64 V) {
        char Digits[24];
        UINTN N = 0;
        do {
          Digits[N++] = static_cast<char>('0' + V % 10);
          V /= 10;
        } while (V != 0);
        while (N != 0 && At + 1 < sizeof(Line) / sizeof(Line[0])) Line[At++] = static_cast<CHAR16>(Digits[--N]);
      };
      Text("ORVALE-PROBE ");
      Text(kNames[Kind]);
      Text(" ");
      Number(gProbe.ticks[Kind]);
      Text(" ");
      Number(gProbe.count[Kind]);
      Text("\r\n");
      Line[At] = 0;
      gST->ConOut->OutputString(gST->ConOut, Line);
    }
  }
  ProbeReset();
}

#endif
