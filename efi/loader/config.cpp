#include "config.h"

#include "text.h"

namespace {

using namespace loadertext;

// A byte count with an optional K (1024) or M (1024 * 1024) suffix.
bool ParseSize(Span s, UINT64 Max, UINT64 *Out) {
  UINT64 unit = 1;
  if (s.Length != 0 && (s.Data[s.Length - 1] == 'K' || s.Data[s.Length - 1] == 'k')) unit = 1024;
  if (s.Length != 0 && (s.Data[s.Length - 1] == 'M' || s.Data[s.Length - 1] == 'm')) unit = 1024 * 1024;
  if (unit != 1) --s.Length;
  UINT64 value = 0;
  if (!ParseNumber(s, Max / unit, &value)) return false;
  *Out = value * unit;
  return true;
}

bool ParseBoolean(Span s, BOOLEAN *Out) {
  if (Is(s, "yes") || Is(s, "true") || Is(s, "on") || Is(s, "1")) {
    *Out = TRUE;
    return true;
  }
  if (Is(s, "no") || Is(s, "false") || Is(s, "off") || Is(s, "0")) {
    *Out = FALSE;
    return true;
  }
  return false;
}

int HexDigit(UINT8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly eight hex digits (an optional 0x before them): the four bytes in order.
bool ParseImage(Span s, UINT8 (&Out)[4]) {
  if (s.Length == 10 && s.Data[0] == '0' && (s.Data[1] == 'x' || s.Data[1] == 'X')) {
    s.Data += 2;
    s.Length -= 2;
  }
  if (s.Length != 8) return false;
  UINT8 bytes[4];
  for (UINTN i = 0; i < 4; ++i) {
    const int high = HexDigit(s.Data[2 * i]);
    const int low = HexDigit(s.Data[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<UINT8>(high << 4 | low);
  }
  for (UINTN i = 0; i < 4; ++i) Out[i] = bytes[i];
  return true;
}

// A volume path: starts with a backslash, printable ASCII, fits with its NUL.
bool ParsePath(Span s, char (&Out)[kConfigPathBytes]) {
  if (s.Length == 0 || s.Length >= kConfigPathBytes || s.Data[0] != '\\') return false;
  for (UINTN i = 0; i < s.Length; ++i) {
    if (s.Data[i] < 0x20 || s.Data[i] >= 0x7F) return false;
  }
  for (UINTN i = 0; i < s.Length; ++i) Out[i] = static_cast<char>(s.Data[i]);
  Out[s.Length] = '\0';
  return true;
}

// Applies one "key = value"; the reason for a refusal, or null.
const char *ApplyLine(Span Key, Span Value, LoaderConfig *C) {
  UINT64 n = 0;
  if (Is(Key, "server-port")) {
    if (!ParseNumber(Value, 65535, &n) || n == 0) return "server-port wants 1..65535";
    C->ServerPort = static_cast<UINT16>(n);
  } else if (Is(Key, "wirl-server")) {
    if (!ParseIpv4(Value, C->WirlServer)) return "wirl-server wants an IPv4 address";
    C->HaveWirlServer = TRUE;
  } else if (Is(Key, "image-kind")) {
    if (Is(Value, "any")) {
      C->FilterImageKind = FALSE;
    } else if (Is(Value, "3")) {
      C->FilterImageKind = TRUE;
    } else {
      return "image-kind wants any or 3";
    }
  } else if (Is(Key, "use-default")) {
    if (!ParseBoolean(Value, &C->UseDefaultImage)) return "use-default wants yes or no";
  } else if (Is(Key, "image")) {
    if (!ParseImage(Value, C->Image)) return "image wants 8 hex digits";
    C->ExplicitImage = TRUE;
  } else if (Is(Key, "image-server")) {
    if (!ParseIpv4(Value, C->ImageServer)) return "image-server wants an IPv4 address";
    C->HaveImageServer = TRUE;
  } else if (Is(Key, "list-rounds")) {
    if (!ParseNumber(Value, kMaxListRounds, &n)) return "list-rounds wants 0..8";
    C->ListRounds = static_cast<UINT32>(n);
  } else if (Is(Key, "block-size")) {
    if (!ParseNumber(Value, kMaxBlockSize, &n) || n < kMinBlockSize) return "block-size wants 512..65464";
    C->BlockSize = n;
  } else if (Is(Key, "first-buffer")) {
    if (!ParseSize(Value, kMaxFirstBuffer, &n)) return "first-buffer wants bytes up to 1G";
    C->FirstBuffer = n;
  } else if (Is(Key, "local-image")) {
    if (!ParsePath(Value, C->LocalImage)) return "local-image wants a path starting with \\";
  } else if (Is(Key, "boot-path")) {
    if (Is(Value, "pxe")) {
      C->PxePath = TRUE;
    } else if (Is(Value, "wirl")) {
      C->PxePath = FALSE;
    } else {
      return "boot-path wants wirl or pxe";
    }
  } else if (Is(Key, "pxe-type")) {
    if (!ParseNumber(Value, 65535, &n) || n == 0) return "pxe-type wants 1..65535";
    C->PxeServerType = static_cast<UINT16>(n);
  } else if (Is(Key, "pxe-server")) {
    if (!ParseIpv4(Value, C->PxeServer)) return "pxe-server wants an IPv4 address";
    C->HavePxeServer = TRUE;
  } else if (Is(Key, "floor-rounds")) {
    if (!ParseNumber(Value, kMaxFloorRounds, &n)) return "floor-rounds wants 0..20000";
    C->FloorRounds = static_cast<UINT32>(n);
  } else if (Is(Key, "power-off")) {
    if (!ParseBoolean(Value, &C->PowerOff)) return "power-off wants yes or no";
  } else {
    return "unknown key";
  }
  return nullptr;
}

}  // namespace

UINTN ParseLoaderConfig(const UINT8 *Text, UINTN Length, LoaderConfig *Config, ConfigProblem *Problems,
                        UINTN MaxProblems) {
  UINTN refused = 0;
  UINTN lineNumber = 0;
  UINTN at = 0;
  while (at < Length) {
    ++lineNumber;
    const UINTN start = at;
    while (at < Length && Text[at] != '\n') ++at;
    Span line{Text + start, at - start};
    if (at < Length) ++at;  // the '\n'
    for (UINTN i = 0; i < line.Length; ++i) {
      if (line.Data[i] == '#') {
        line.Length = i;
        break;
      }
    }
    line = Trim(line);
    if (line.Length == 0) continue;

    const char *reason = nullptr;
    UINTN equals = 0;
    while (equals < line.Length && line.Data[equals] != '=') ++equals;
    if (equals == line.Length) {
      reason = "expected key = value";
    } else {
      const Span key = Trim(Span{line.Data, equals});
      const Span value = Trim(Span{line.Data + equals + 1, line.Length - equals - 1});
      reason = ApplyLine(key, value, Config);
    }
    if (reason != nullptr) {
      if (refused < MaxProblems && Problems != nullptr) Problems[refused] = ConfigProblem{lineNumber, reason};
      ++refused;
    }
  }
  return refused;
}
