# The guest's part of a run in the virtual machine (wine_vm.sh): copied into
# the shared folder as guest.sh, beside winjobs.sh, jobs/ and results/, and
# run by the guest's /init. It reports on the console; the results go to the
# shared folder. Wine's prefix was made when the root file system was built.
export HOME=/root WINEPREFIX=/vm/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv="
uptime() { cut -d' ' -f1 /proc/uptime; }
echo "vm: up after $(uptime) s; $(nproc) processors; kernel $(uname -r)"
flags=$(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -xE 'sse2|sse3|ssse3|sse4_1|sse4_2|avx|avx2|fma|avx512f|avx512dq|avx512vl' | tr '\n' ' ')
echo "vm: processor features: $flags"
echo "$flags" >/share/results/processor
mkdir -p /work && mount -t tmpfs -o size=3g work /work
/usr/lib/wine/wineserver -p
/usr/lib/wine/wine cmd /c exit >/dev/null 2>&1
echo "vm: Wine ready after $(uptime) s"
bash /share/winjobs.sh /share/jobs /share/results /work "$(nproc)" /usr/lib/wine/wine
echo "vm: jobs done after $(uptime) s"
/usr/lib/wine/wineserver -k
touch /share/results/done
sync
