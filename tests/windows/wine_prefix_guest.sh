# The guest's part of building the virtual machine (wine_vm.sh prepare):
# Wine's prefix, made once and kept in the root file system. Most of its
# 600 MB are copies of Wine's own DLLs: those are left out of prefix.tar and
# listed in prefix-links, so that the host makes them hard links, which the
# root file system's archive stores once.
export HOME=/root WINEARCH=win32 WINEPREFIX=/vm/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
uptime() { cut -d' ' -f1 /proc/uptime; }
echo "vm: making the Wine prefix after $(uptime) s"
/usr/lib/wine/wine wineboot --init >/share/wineboot.log 2>&1
echo "vm: wineboot: status $? after $(uptime) s"
/usr/lib/wine/wineserver -w
builtin=/usr/lib/i386-linux-gnu/wine/i386-windows
cd /vm && find prefix -type f | while IFS= read -r f; do
  b=$builtin/${f##*/}
  if [ -f "$b" ] && cmp -s "$f" "$b"; then
    printf '%s\t%s\n' "$f" "${f##*/}"
    rm "$f"
  fi
done >/share/prefix-links
tar -C /vm -cf /share/prefix.tar prefix && echo "vm: prefix saved after $(uptime) s"
