#include "tools/cli/boot.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <new>

#include "efi/loader/boot_script.h"
#include "tools/cli/dhcp_print.h"

namespace orvale_cli {

const StageCode kStageCodes[] = {
    {"dhcp", 80},   {"wirl", 81},    {"discover", 82},    {"bootfile", 83}, {"size", 84},        {"download", 85},
    {"script", 86}, {"kernel-size", 87}, {"kernel", 88}, {"initrd-size", 89}, {"initrd", 90},
};
const size_t kStageCodeCount = sizeof kStageCodes / sizeof kStageCodes[0];

namespace {

constexpr size_t kBootFileField = 108;
constexpr size_t kBootFileFieldBytes = 128;
constexpr size_t kSiaddr = 20;
constexpr size_t kYiaddr = 16;
constexpr uint8_t kOverloadFile = 1;

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string Ip4(const uint8_t *b) {
  char t[16];
  snprintf(t, sizeof t, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return t;
}

bool IsZero(const uint8_t *b, size_t n) { return std::all_of(b, b + n, [](uint8_t c) { return c == 0; }); }

uint16_t Read16(const uint8_t *at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

uint32_t Read32(const uint8_t *at) {
  return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | at[3];
}

// Printable ASCII as is, anything else as \xNN: server texts go to a terminal.
std::string Printable(const uint8_t *b, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (b[i] >= 0x20 && b[i] < 0x7F && b[i] != '\\') {
      s += static_cast<char>(b[i]);
    } else {
      char t[8];
      snprintf(t, sizeof t, "\\x%02x", b[i]);
      s += t;
    }
  }
  return s;
}

Field Text(const char *key, const std::string &v, bool list = false) {
  return Field{Field::kText, key, v, 0, 0, false, list};
}
Field Count(const char *key, uint64_t v, bool list = false) { return Field{Field::kCount, key, "", v, 0, false, list}; }
Field Real(const char *key, double v) { return Field{Field::kReal, key, "", 0, v, false, false}; }
Field Flag(const char *key, bool v) { return Field{Field::kFlag, key, "", 0, 0, v, false}; }

// The boot file a reply names: option 67, else the file field (unless the
// options overload it). Up to the first NUL.
std::string BootFileOf(const DhcpPacket &packet) {
  const Options options = DhcpOptionsOf(packet.Raw, sizeof packet.Raw);
  if (const hosted::Bytes *v = FindIn(options, 67)) {
    const auto end = std::find(v->begin(), v->end(), 0);
    return std::string(v->begin(), end);
  }
  const hosted::Bytes *overload = FindIn(options, 52);
  if (overload != nullptr && !overload->empty() && ((*overload)[0] & kOverloadFile) != 0) return "";
  const uint8_t *file = packet.Raw + kBootFileField;
  return std::string(reinterpret_cast<const char *>(file), strnlen(reinterpret_cast<const char *>(file),
                                                                   kBootFileFieldBytes));
}

// The server a reply's boot file comes from: siaddr, else its server identifier.
bool BootServerOf(const DhcpPacket &packet, EFI_IP_ADDRESS *server) {
  *server = EFI_IP_ADDRESS{};
  if (!IsZero(packet.Raw + kSiaddr, 4)) {
    memcpy(server->v4.Addr, packet.Raw + kSiaddr, 4);
    return true;
  }
  const Options options = DhcpOptionsOf(packet.Raw, sizeof packet.Raw);
  const hosted::Bytes *id = FindIn(options, 54);
  if (id == nullptr || id->size() != 4) return false;
  memcpy(server->v4.Addr, id->data(), 4);
  return true;
}

// The boot server types a PXE reply lists (vendor sub-option 8), in order.
std::vector<uint16_t> BootServerTypes(const DhcpPacket &packet) {
  std::vector<uint16_t> types;
  const Options sub = WirlSubOptions(DhcpOptionsOf(packet.Raw, sizeof packet.Raw));
  const hosted::Bytes *servers = FindIn(sub, 8);
  if (servers == nullptr) return types;
  const hosted::Bytes &v = *servers;
  for (size_t at = 0; at + 3 <= v.size() && at + 3 + 4u * v[at + 2] <= v.size(); at += 3 + 4u * v[at + 2])
    types.push_back(Read16(v.data() + at));
  return types;
}

// The key fields of a reply, for the report.
PacketFields Describe(const char *role, const DhcpPacket &packet, bool wirl) {
  PacketFields p{role, {}};
  const uint8_t *raw = packet.Raw;
  const Options options = DhcpOptionsOf(raw, sizeof packet.Raw);
  if (const hosted::Bytes *v = FindIn(options, 53); v != nullptr && v->size() == 1)
    p.fields.push_back(Count("message_type", (*v)[0]));
  p.fields.push_back(Text("yiaddr", Ip4(raw + kYiaddr)));
  p.fields.push_back(Text("siaddr", Ip4(raw + kSiaddr)));
  if (const hosted::Bytes *v = FindIn(options, 54); v != nullptr && v->size() == 4)
    p.fields.push_back(Text("server_id", Ip4Text(*v)));
  if (const hosted::Bytes *v = FindIn(options, 1); v != nullptr && v->size() == 4)
    p.fields.push_back(Text("subnet_mask", Ip4Text(*v)));
  if (const hosted::Bytes *v = FindIn(options, 3); v != nullptr && v->size() >= 4)
    p.fields.push_back(Text("router", Ip4Text(*v)));
  if (const hosted::Bytes *v = FindIn(options, 51); v != nullptr && v->size() == 4)
    p.fields.push_back(Count("lease_seconds", Read32(v->data())));
  if (const hosted::Bytes *v = FindIn(options, 60))
    p.fields.push_back(Text("vendor_class", Printable(v->data(), v->size())));
  const std::string file = BootFileOf(packet);
  if (!file.empty()) p.fields.push_back(Text("boot_file", Printable(reinterpret_cast<const uint8_t *>(file.data()),
                                                                    file.size())));
  const Options sub = WirlSubOptions(options);
  if (wirl) {
    if (const hosted::Bytes *v = FindIn(sub, 8)) p.fields.push_back(Text("image", Hex(*v)));
    return p;
  }
  if (const hosted::Bytes *v = FindIn(sub, 6); v != nullptr && v->size() == 1)
    p.fields.push_back(Count("discovery_control", (*v)[0]));
  for (uint16_t type : BootServerTypes(packet)) p.fields.push_back(Count("boot_server_types", type, true));
  return p;
}

std::string FieldText(const PacketFields &p, const char *key) {
  for (const Field &f : p.fields)
    if (f.key == key) return f.text;
  return "";
}

// Sees the driver's frames while Dhcp runs on the WIRL path: the first LIST
// it sends ends the DHCP stage and starts the WIRL one.
class ListClock : public hosted::Port {
 public:
  ListClock(hosted::Wire *wire, hosted::Mac own) : wire_(wire), own_(own) { wire_->Attach(this); }
  ~ListClock() override { wire_->Detach(this); }
  hosted::Mac Address() const override { return own_; }
  void Deliver(const hosted::Frame &frame) override {
    const hosted::Bytes &f = frame.bytes;
    if (at_ != 0 || f.size() < 14 + 20 + 8 || !std::equal(own_.begin(), own_.end(), f.begin() + 6)) return;
    if (f[12] != 0x08 || f[13] != 0x00 || (f[14] >> 4) != 4 || f[14 + 9] != 17) return;
    const size_t ihl = static_cast<size_t>(f[14] & 0x0F) * 4;
    if (ihl < 20 || f.size() < 14 + ihl + 8) return;
    const uint8_t *u = f.data() + 14 + ihl;
    if (Read16(u) != 68) return;  // from the client port
    const Options sub = WirlSubOptions(DhcpOptionsOf(u + 8, f.size() - 14 - ihl - 8));
    const hosted::Bytes *kind = FindIn(sub, 1);
    if (kind != nullptr && kind->size() == 1 && (*kind)[0] == 1) at_ = Now();
  }
  double At() const { return at_; }

 private:
  hosted::Wire *wire_;
  hosted::Mac own_;
  double at_ = 0;
};

class Road {
 public:
  Road(DriverSession &session, const BootOptions &options)
      : session_(session), p_(session.Protocol()), options_(options) {
    // Room for every stage, so a stage's reference stays good while the next begins.
    report_.stages.reserve(kStageCodeCount);
  }

  BootReport Run() {
    report_.path = options_.pxe ? "pxe" : "wirl";
    const double start = Now();
    // Each stage runs only when the one before it succeeded.
    if ((options_.pxe ? Pxe() : Wirl()) && BootFile()) Files();
    report_.seconds = Now() - start;
    return report_;
  }

 private:
  StageReport &Begin(const char *name) {
    report_.stages.push_back(StageReport{});
    report_.stages.back().name = name;
    stageStart_ = Now();
    return report_.stages.back();
  }

  // Closes the last stage: its time, status and line; false when it failed.
  bool End(EFI_STATUS status, double seconds = -1) {
    StageReport &s = report_.stages.back();
    s.status = status;
    s.seconds = seconds >= 0 ? seconds : Now() - stageStart_;
    if (status != EFI_SUCCESS && report_.failedStage.empty()) {
      report_.failedStage = s.name;
      report_.status = status;
    }
    if (!options_.quiet) {
      printf("  %-12s %-16s %8.3f s  %s\n", s.name.c_str(), status == EFI_SUCCESS ? "ok" : StatusName(status).c_str(),
             s.seconds, s.line.c_str());
      for (const std::string &h : s.heard) printf("  %-12s %s\n", "", h.c_str());
      fflush(stdout);
    }
    return status == EFI_SUCCESS;
  }

  void Lease(StageReport &s) {
    const OrvaleMode *mode = p_->Mode;
    s.line = "address " + FormatIpv4(mode->StationIp) + "/" + FormatIpv4(mode->SubnetMask);
    s.fields.push_back(Text("station_ip", FormatIpv4(mode->StationIp)));
    s.fields.push_back(Text("subnet_mask", FormatIpv4(mode->SubnetMask)));
    if (p_->Packets->DhcpAckReceived) {
      PacketFields ack = Describe("ack", p_->Packets->DhcpAck, false);
      const std::string server = FieldText(ack, "server_id");
      if (!server.empty()) s.line += " server " + server;
      const std::string router = FieldText(ack, "router");
      if (!router.empty()) s.line += " router " + router;
      s.packets.push_back(std::move(ack));
    } else {
      s.line += " (no DHCP ACK)";
    }
  }

  bool Wirl() {
    ApplyWirlSteering(p_, options_.wirl);
    StageReport *dhcp = &Begin("dhcp");
    const double start = stageStart_;
    WirlHeard heard(&session_.Wire(), session_.Mac());
    ListClock clock(&session_.Wire(), session_.Mac());
    const EFI_STATUS status = p_->Dhcp(p_, FALSE);
    const double end = Now();
    const double split = clock.At() != 0 ? clock.At() : end;
    // Dhcp runs both stages: the DHCP one failed when no lease came.
    const bool leased = p_->Packets->DhcpAckReceived || !IsZero(p_->Mode->StationIp.v4.Addr, 4);
    Lease(*dhcp);
    if (!End(leased ? EFI_SUCCESS : status, split - start)) return false;

    StageReport &wirl = Begin("wirl");
    wirl.heard = heard.Heard();
    if (heard.Passed() != 0) wirl.heard.push_back(std::to_string(heard.Passed()) + " more servers heard, not shown");
    for (const std::string &h : heard.Heard()) wirl.fields.push_back(Text("heard", h, true));
    if (!heard.Chosen().empty()) {
      wirl.line = heard.Chosen();
      wirl.fields.push_back(Text("chosen", heard.Chosen()));
    }
    EFI_STATUS result = status;
    if (status == EFI_SUCCESS && !p_->Packets->PxeReplyReceived) {
      result = EFI_NOT_READY;
      wirl.line = "no boot server reply published";
    }
    if (result == EFI_SUCCESS) {
      PacketFields reply = Describe("wirl-reply", p_->Packets->PxeReply, true);
      const std::string by = FieldText(reply, "server_id");
      if (!by.empty()) wirl.line += (wirl.line.empty() ? "" : ", ") + std::string("acknowledged by ") + by;
      wirl.packets.push_back(std::move(reply));
    }
    reply_ = &p_->Packets->PxeReply;
    return End(result, end - split);
  }

  bool Pxe() {
    PacketRecord *r = p_->Packets;
    if (r->BootMode == ORVALE_BOOT_MODE_WIRL) r->BootMode = 0;
    StageReport &dhcp = Begin("dhcp");
    const EFI_STATUS status = p_->Dhcp(p_, TRUE);
    Lease(dhcp);
    if (r->ProxyOfferReceived) {
      dhcp.packets.push_back(Describe("proxy", r->ProxyOffer, false));
      const std::string by = FieldText(dhcp.packets.back(), "server_id");
      dhcp.line += ", proxy offer" + (by.empty() ? std::string() : " from " + by);
    }
    if (!End(status)) return false;

    const DhcpPacket &info = r->ProxyOfferReceived ? r->ProxyOffer : r->DhcpAck;
    StageReport &discover = Begin("discover");
    const std::vector<uint16_t> types = BootServerTypes(info);
    // No boot servers to discover: the reply's own boot file, as the loader does.
    if (!options_.haveType && types.empty() && !BootFileOf(info).empty()) {
      discover.line = "skipped: the " + std::string(r->ProxyOfferReceived ? "proxy" : "DHCP") +
                      " reply names a boot file and lists no boot servers";
      discover.fields.push_back(Flag("skipped", true));
      reply_ = &info;
      return End(EFI_SUCCESS);
    }
    if (!options_.haveType && types.empty()) {
      discover.line = "no boot server type given (--type) or listed in the replies";
      return End(EFI_NOT_FOUND);
    }
    const uint16_t type = options_.haveType ? options_.type : types.front();
    UINT16 layer = 0;
    const EFI_STATUS found = p_->Discover(p_, type, &layer, FALSE, nullptr);
    discover.line = "type " + std::to_string(type);
    discover.fields.push_back(Count("type", type));
    if (found == EFI_SUCCESS) {
      discover.line += " layer " + std::to_string(layer) + " server " + FormatIpv4(r->LastBootServerIp);
      discover.fields.push_back(Count("layer", layer));
      discover.fields.push_back(Text("server", FormatIpv4(r->LastBootServerIp)));
      discover.packets.push_back(Describe("discover-reply", r->PxeReply, false));
    }
    reply_ = &r->PxeReply;
    discoverServer_ = r->LastBootServerIp;
    return End(found);
  }

  bool BootFile() {
    StageReport &s = Begin("bootfile");
    file_ = BootFileOf(*reply_);
    if (file_.empty()) {
      s.line = "no boot file name in the reply";
      return End(EFI_NOT_FOUND);
    }
    if (!BootServerOf(*reply_, &server_)) {
      if (IsZero(discoverServer_.v4.Addr, 4)) {
        s.line = "no server address in the reply";
        return End(EFI_NOT_FOUND);
      }
      server_ = discoverServer_;
    }
    const std::string shown = Printable(reinterpret_cast<const uint8_t *>(file_.data()), file_.size());
    s.line = "\"" + shown + "\" from " + FormatIpv4(server_);
    s.fields.push_back(Text("file", shown));
    s.fields.push_back(Text("server", FormatIpv4(server_)));
    return End(EFI_SUCCESS);
  }

  void TftpError(StageReport &s) {
    const StateRecord *state = p_->State;
    if (!state->TftpErrorReceived) return;
    const char *text = state->TftpError.ErrorString;
    const std::string error = Printable(reinterpret_cast<const uint8_t *>(text),
                                        strnlen(text, sizeof state->TftpError.ErrorString));
    s.line += (s.line.empty() ? "" : ", ") + std::string("server error ") +
              std::to_string(state->TftpError.ErrorCode) + ": " + error;
    s.fields.push_back(Count("tftp_error_code", state->TftpError.ErrorCode));
    s.fields.push_back(Text("tftp_error", error));
    report_.failure = "server error " + std::to_string(state->TftpError.ErrorCode) + " \"" + error + "\"";
  }

  // The size, then the read into a buffer of exactly that size: a file that
  // does not match its tsize fails its stage.
  bool Fetch(const std::string &name, const EFI_IP_ADDRESS &server, size_t blockSize, const char *sizeStage,
             const char *readStage, hosted::Bytes *data) {
    std::string nameCopy = name;
    EFI_IP_ADDRESS to = server;
    StageReport &size = Begin(sizeStage);
    UINT64 tsize = 0;
    UINTN block = blockSize;
    size.fields.push_back(Text("file", name));
    EFI_STATUS status = p_->Mtftp(p_, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, nullptr, FALSE, &tsize, &block, &to,
                                  reinterpret_cast<UINT8 *>(nameCopy.data()), nullptr, FALSE);
    size.line = "\"" + name + "\"";
    if (status == EFI_SUCCESS) {
      size.line += " " + std::to_string(tsize) + " bytes";
      size.fields.push_back(Count("tsize", tsize));
    }
    TftpError(size);
    if (!End(status)) return false;

    StageReport &read = Begin(readStage);
    read.fields.push_back(Text("file", name));
    // The server's tsize decides the buffer: one the host cannot give fails
    // the stage instead of ending the tool.
    std::unique_ptr<uint8_t[]> buffer(tsize <= kMaxReadBytes ? new (std::nothrow) uint8_t[tsize != 0 ? tsize : 1]
                                                             : nullptr);
    if (!buffer) {
      read.line = "no room for the " + std::to_string(tsize) + " bytes of its tsize";
      return End(EFI_OUT_OF_RESOURCES);
    }
    UINT64 got = tsize;
    block = blockSize;
    const double start = Now();
    status = p_->Mtftp(p_, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.get(), FALSE, &got, &block, &to,
                       reinterpret_cast<UINT8 *>(nameCopy.data()), nullptr, FALSE);
    const double seconds = Now() - start;
    if (status == EFI_BUFFER_TOO_SMALL) {
      read.line = "larger than its tsize of " + std::to_string(tsize) + " bytes";
      return End(status, seconds);
    }
    TftpError(read);
    if (status != EFI_SUCCESS) return End(status, seconds);
    const double rate = seconds > 0 ? static_cast<double>(got) / seconds / 1e6 : 0;
    char words[160];
    snprintf(words, sizeof words, "%llu bytes, blksize %zu, %.2f MB/s", static_cast<unsigned long long>(got),
             static_cast<size_t>(block), rate);
    read.line = words;
    read.fields.push_back(Count("bytes", got));
    read.fields.push_back(Count("blksize", block));
    read.fields.push_back(Real("mb_per_s", rate));
    read.fields.push_back(Flag("matches_tsize", got == tsize));
    if (got != tsize) {
      read.line += ", tsize said " + std::to_string(tsize);
      return End(EFI_PROTOCOL_ERROR, seconds);
    }
    data->assign(buffer.get(), buffer.get() + got);
    if (!options_.outDir.empty() && !Save(read, name, *data)) return End(EFI_DEVICE_ERROR, seconds);
    return End(EFI_SUCCESS, seconds);
  }

  bool Save(StageReport &s, const std::string &name, const hosted::Bytes &data) {
    const std::string leaf = OutputFileName(name);
    if (leaf.empty()) {
      s.line += ", no file name to save it under";
      return false;
    }
    const std::string path = options_.outDir + "/" + leaf;
    FILE *f = fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && fwrite(data.data(), 1, data.size(), f) == data.size();
    const int error = errno;
    if (f != nullptr && fclose(f) != 0 && ok) {
      s.line += ", cannot write " + path + ": " + strerror(errno);
      return false;
    }
    if (!ok) {
      s.line += ", cannot write " + path + ": " + strerror(error);
      return false;
    }
    s.line += ", saved as " + path;
    s.fields.push_back(Text("saved", path));
    return true;
  }

  bool Files() {
    hosted::Bytes file;
    if (!Fetch(file_, server_, options_.blockSize, "size", "download", &file)) return false;
    if (!IsBootScript(file.data(), file.size())) return true;

    StageReport &s = Begin("script");
    auto script = std::make_unique<BootScript>();
    ScriptError error;
    const EFI_STATUS status = ParseBootScript(file.data(), file.size(), script.get(), &error);
    if (status != EFI_SUCCESS) {
      s.line = error.Line != 0 ? "line " + std::to_string(error.Line) + ": " : "";
      s.line += error.Reason != nullptr ? error.Reason : "refused";
      s.fields.push_back(Count("line", error.Line));
      s.fields.push_back(Text("reason", error.Reason != nullptr ? error.Reason : ""));
      report_.failure = s.line;
      return End(status);
    }
    EFI_IP_ADDRESS server = server_;
    if (script->HaveServer) {
      server = EFI_IP_ADDRESS{};
      memcpy(server.v4.Addr, script->Server, 4);
    }
    const size_t blockSize = script->BlockSize != 0 ? static_cast<size_t>(script->BlockSize) : options_.blockSize;
    s.line = "kernel \"" + std::string(script->Kernel) + "\"";
    if (script->HaveInitrd) s.line += ", initrd \"" + std::string(script->Initrd) + "\"";
    s.line += ", cmdline " + std::to_string(script->CmdlineLength) + " chars, from " + FormatIpv4(server);
    s.fields.push_back(Text("kernel", script->Kernel));
    if (script->HaveInitrd) s.fields.push_back(Text("initrd", script->Initrd));
    s.fields.push_back(Text("cmdline", std::string(script->Cmdline, script->CmdlineLength)));
    s.fields.push_back(Text("server", FormatIpv4(server)));
    s.fields.push_back(Count("blksize", blockSize));
    End(EFI_SUCCESS);

    hosted::Bytes kernel;
    if (!Fetch(script->Kernel, server, blockSize, "kernel-size", "kernel", &kernel)) return false;
    if (!script->HaveInitrd) return true;
    hosted::Bytes initrd;
    return Fetch(script->Initrd, server, blockSize, "initrd-size", "initrd", &initrd);
  }

  DriverSession &session_;
  OrvaleProtocol *p_;
  const BootOptions &options_;
  BootReport report_;
  double stageStart_ = 0;
  const DhcpPacket *reply_ = nullptr;
  EFI_IP_ADDRESS discoverServer_{};
  std::string file_;
  EFI_IP_ADDRESS server_{};
};

void WriteFields(const Fields &fields, JsonWriter &json) {
  // The values of a list key go together into one array, in order.
  std::vector<std::string> done;
  for (const Field &f : fields) {
    if (std::find(done.begin(), done.end(), f.key) != done.end()) continue;
    if (f.list) json.BeginArray(f.key.c_str());
    for (const Field &g : fields) {
      if (g.key != f.key || (!f.list && &g != &f)) continue;
      const char *key = f.list ? nullptr : g.key.c_str();
      switch (g.kind) {
        case Field::kText: json.String(key, g.text); break;
        case Field::kCount: json.Unsigned(key, g.count); break;
        case Field::kReal: json.Number(key, g.real, 2); break;
        case Field::kFlag: json.Bool(key, g.flag); break;
      }
    }
    if (f.list) json.EndArray();
    done.push_back(f.key);
  }
}

}  // namespace

void ApplyWirlSteering(OrvaleProtocol *p, const WirlSteering &s) {
  PacketRecord *packets = p->Packets;
  packets->BootMode = ORVALE_BOOT_MODE_WIRL;
  packets->PlainDhcp = 0;
  packets->UseDefaultImage = s.defaultImage ? 1 : 0;
  packets->FilterImageKind = s.kind3 ? 1 : 0;
  memcpy(&packets->WirlServer, s.server.v4.Addr, 4);
  packets->WirlServerPort = s.port;
  packets->AutoSelect = s.explicitImage ? 0 : 1;
  packets->ExplicitSelect = s.explicitImage ? 1 : 0;
  packets->SelectImage = s.image;
  memcpy(packets->SelectServer, s.selectServer.v4.Addr, 4);
  p->State->AlternatePortMode = s.alternatePort ? 1 : 0;
}

int BootExitCode(const BootReport &report) {
  if (report.failedStage.empty()) return 0;
  for (size_t i = 0; i < kStageCodeCount; ++i)
    if (report.failedStage == kStageCodes[i].name) return kStageCodes[i].code;
  return 1;
}

BootReport RunBoot(DriverSession &session, const BootOptions &options) { return Road(session, options).Run(); }

std::string BootSummary(const BootReport &report) {
  char time[32];
  snprintf(time, sizeof time, "%.3f s", report.seconds);
  if (report.failedStage.empty()) return "boot completed in " + std::string(time);
  std::string s = "boot failed at " + report.failedStage + ": " + StatusName(report.status);
  if (!report.failure.empty()) s += " (" + report.failure + ")";
  return s + " after " + time;
}

void WriteBootJson(const BootReport &report, JsonWriter &json) {
  json.String("path", report.path);
  json.Bool("completed", report.failedStage.empty());
  if (report.failedStage.empty()) {
    json.Null("failed_stage");
  } else {
    json.String("failed_stage", report.failedStage);
  }
  json.String("status", StatusName(report.status));
  if (!report.failure.empty()) json.String("failure", report.failure);
  json.Integer("exit_code", BootExitCode(report));
  json.Number("seconds", report.seconds);
  json.BeginArray("stages");
  for (const StageReport &s : report.stages) {
    json.BeginObject();
    json.String("name", s.name);
    json.String("status", StatusName(s.status));
    json.Number("seconds", s.seconds);
    WriteFields(s.fields, json);
    if (!s.packets.empty()) {
      json.BeginArray("packets");
      for (const PacketFields &p : s.packets) {
        json.BeginObject();
        json.String("role", p.role);
        WriteFields(p.fields, json);
        json.EndObject();
      }
      json.EndArray();
    }
    json.EndObject();
  }
  json.EndArray();
}

std::string OutputFileName(const std::string &name) {
  const size_t slash = name.find_last_of("/\\");
  std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") return "";
  for (char c : leaf)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "";
  return leaf;
}

}  // namespace orvale_cli
