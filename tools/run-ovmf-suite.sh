#!/usr/bin/env bash
# Real-firmware suite: boots OVMF under QEMU (TCG) from a FAT image holding the
# test application (\EFI\BOOT\BOOTX64.EFI) and the driver (\orvale.efi), with
# QEMU's user-mode network and TFTP server, and turns the application's
# "ORVALE-CHECK <name> PASS|FAIL <detail>" console lines into results.
# Prints one line per check, then "N passed, M failed"; exits non-zero when a
# check failed, the run did not reach ORVALE-DONE, or QEMU timed out.
#
# Environment: ORVALE_EFI_BUILD  EFI build directory (default build/efi; configured and built here)
#              ORVALE_OVMF_OUT   work directory for the disk image, TFTP folder and logs (default build/ovmf)
#              ORVALE_OVMF_TIMEOUT  seconds before QEMU is killed (default 120)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
efi_build=${ORVALE_EFI_BUILD:-build/efi}
out=${ORVALE_OVMF_OUT:-build/ovmf}
limit=${ORVALE_OVMF_TIMEOUT:-120}
ovmf_code=/usr/share/OVMF/OVMF_CODE_4M.fd
ovmf_vars=/usr/share/OVMF/OVMF_VARS_4M.fd

# The probe file the application reads over TFTP (efi/app/suite.cpp):
# 300 bytes, byte i = (i * 31 + 7) mod 256.
probe_name=orvale-probe.bin
probe_size=300

abort_run() {
  echo "FAIL ovmf-run $*"
  echo "0 passed, 1 failed"
  exit 1
}

for tool in qemu-system-x86_64 mformat mmd mcopy timeout cmake; do
  command -v "$tool" >/dev/null 2>&1 || abort_run "missing tool: $tool"
done
[ -r "$ovmf_code" ] && [ -r "$ovmf_vars" ] || abort_run "missing OVMF firmware ($ovmf_code, $ovmf_vars)"

mkdir -p "$out"
out=$(cd "$out" && pwd)

echo "== EFI images ($efi_build)"
if ! { cmake -S "$root" -B "$efi_build" -DORVALE_EFI=ON && cmake --build "$efi_build" -j2; } >"$out/build.log" 2>&1; then
  tail -n 30 "$out/build.log"
  abort_run "EFI build failed (log: $out/build.log)"
fi
app_image="$efi_build/efi/BOOTX64.EFI"
driver_image="$efi_build/efi/orvale.efi"
[ -s "$app_image" ] && [ -s "$driver_image" ] || abort_run "EFI images missing in $efi_build/efi"

# FAT image without a partition table: 16 heads x 32 tracks x 32 sectors x 512 bytes = 8 MiB.
esp="$out/esp.img"
rm -f "$esp"
export MTOOLS_SKIP_CHECK=1
{ truncate -s 8M "$esp" &&
  mformat -i "$esp" -h 16 -t 32 -s 32 -v ORVALE :: &&
  mmd -i "$esp" ::/EFI ::/EFI/BOOT &&
  mcopy -i "$esp" "$app_image" ::/EFI/BOOT/BOOTX64.EFI &&
  mcopy -i "$esp" "$driver_image" ::/orvale.efi; } >"$out/esp.log" 2>&1 ||
  { cat "$out/esp.log"; abort_run "FAT image not built"; }

tftp="$out/tftp"
rm -rf "$tftp"
mkdir -p "$tftp"
for ((i = 0; i < probe_size; i++)); do
  printf "\\$(printf '%03o' $(((i * 31 + 7) & 255)))"
done >"$tftp/$probe_name"

vars="$out/OVMF_VARS.fd"
cp "$ovmf_vars" "$vars"

echo "== OVMF (timeout ${limit}s)"
raw="$out/serial.raw"
log="$out/serial.log"
started=$(date +%s%N)
timeout -k 5 "$limit" qemu-system-x86_64 \
  -machine q35 -accel tcg -m 256 -nographic -serial mon:stdio -no-reboot \
  -drive if=pflash,format=raw,readonly=on,file="$ovmf_code" \
  -drive if=pflash,format=raw,file="$vars" \
  -drive if=none,id=esp,format=raw,file="$esp" \
  -device virtio-blk-pci,drive=esp,bootindex=0 \
  -netdev user,id=n0,restrict=on,tftp="$tftp",bootfile="$probe_name" \
  -device virtio-net-pci,netdev=n0,romfile= \
  -fw_cfg name=opt/org.tianocore/IPv4PXESupport,string=n \
  -fw_cfg name=opt/org.tianocore/IPv6PXESupport,string=n \
  </dev/null >"$raw" 2>"$out/qemu.stderr"
rc=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))

# Console text arrives as CR LF lines mixed with terminal escape sequences.
sed -e 's/\x1b\[[0-9;?=>]*[A-Za-z]//g' -e 's/\x1b[()][A-Za-z0-9]//g' "$raw" | tr -d '\r\000\033' >"$log"

passed=0
failed=0
re='ORVALE-CHECK ([A-Za-z0-9_-]+) (PASS|FAIL)(.*)$'
while IFS= read -r line; do
  [[ $line =~ $re ]] || continue
  name=${BASH_REMATCH[1]}
  result=${BASH_REMATCH[2]}
  detail=${BASH_REMATCH[3]# }
  echo "$result $name $detail"
  if [ "$result" = PASS ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done <"$log"
checks=$((passed + failed))

done_line=$(grep -o 'ORVALE-DONE checks=[0-9]*' "$log" | tail -n 1)
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
  echo "FAIL ovmf-run QEMU timed out after ${limit}s"
  failed=$((failed + 1))
elif [ "$rc" -ne 0 ]; then
  echo "FAIL ovmf-run QEMU exited with status $rc: $(tail -n 3 "$out/qemu.stderr" | tr '\n' ' ')"
  failed=$((failed + 1))
fi
if [ -z "$done_line" ]; then
  echo "FAIL ovmf-run ORVALE-DONE missing; the last console lines were:"
  grep -v '^[[:space:]]*$' "$log" | tail -n 8 | sed 's/^/    /'
  failed=$((failed + 1))
elif [ "${done_line##*=}" -ne "$checks" ]; then
  echo "FAIL ovmf-run the application reported ${done_line##*=} checks, the log holds $checks"
  failed=$((failed + 1))
fi

echo "run time: $((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000)))s (serial log: $log)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
