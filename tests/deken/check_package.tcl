# A deken package read by Pd's own package manager: pd_deken.tcl from
# Debian's puredata-gui, loaded in tclsh with stand-ins for the parts of the
# Pd GUI that it needs only to show things (the Pd window, menus, the
# preference store, translations, Tk's window queries). Its own procs do the
# work: parse_filename reads the name, architecture_match decides for which
# Pd the package is offered, verify_sha256 checks the checksum beside it and
# extract unpacks it as "Install DEK file..." does.
#
# Usage: tclsh check_package.tcl UNZIPPER PACKAGE INSTALL_DIR VERSION ARCH...
#   UNZIPPER: "unzip" for a Pd without tcllib (Debian's: puredata-gui neither
#   depends on nor recommends it), where extract runs `unzip -uo`; "tcllib"
#   for one with it, where extract uses zipfile::decode.
#   ARCH...: the architectures the name must list, in order.
# Prints what it checks; exit status 1 when a check fails.

lassign $argv unzipper package installdir version
set archs [lrange $argv 4 end]
set deken_tcl /usr/lib/puredata/tcl/pd_deken.tcl
set failures 0
proc say {msg} { puts "deken: $msg" }
# check CONDITION MESSAGE: CONDITION is an expression, evaluated by the caller.
proc check {condition msg} {
    if {[uplevel 1 [list expr $condition]]} { say "ok: $msg" } else { say "FAILED: $msg"; incr ::failures }
}

# Which unzipper pd_deken.tcl picks depends on whether tcllib's
# zipfile::decode can be loaded. For a Pd without tcllib, tcllib's folders
# are left off the package path.
switch -- $unzipper {
    unzip {
        set path {}
        foreach dir $auto_path {
            if {[string match tcllib* [file tail $dir]]} continue
            if {[file isdirectory $dir] && [llength [glob -nocomplain -type d -directory $dir tcllib*]]} {
                foreach sub [glob -nocomplain -type d -directory $dir *] {
                    if {![string match tcllib* [file tail $sub]]} { lappend path $sub }
                }
            } else {
                lappend path $dir
            }
        }
        set auto_path $path
        if {![catch {package require zipfile::decode}]} {
            say "FAILED: tcllib's zipfile::decode is still found"
            exit 1
        }
    }
    tcllib {
        if {[catch {package require zipfile::decode} why]} {
            say "FAILED: no zipfile::decode ($why; Debian's tcllib; scripts/install-deps.sh deken installs it)"
            exit 1
        }
    }
    default { say "FAILED: UNZIPPER is unzip or tcllib, not '$unzipper'"; exit 1 }
}

# --- Stand-ins for the Pd GUI: showing and storing only -----------------------
package provide pdwindow 0.1
package provide pd_menucommands 0.1
package provide pd_guiprefs 0.1
namespace eval ::pdwindow {}
foreach p {post error debug fatal} { proc ::pdwindow::$p {msg} { puts -nonewline "  pd: $msg" } }
proc ::pdwindow::verbose {level msg} { puts -nonewline "  pd: $msg" }
namespace eval ::pd_menucommands {}
proc ::pd_menucommands::menu_openfile {path} { puts "  pd: (would open $path)" }
namespace eval ::pd_guiprefs {}
# No stored preferences: every setting at its default.
proc ::pd_guiprefs::read {key} { return "" }
proc ::pd_guiprefs::write {key value} {}
proc _ {text} { return $text }
set ::current_plugin_loadpath ""
set ::sys_staticpath {}
set ::sys_libdir /usr/lib/puredata
# Tk: no windows exist; the Help menu takes any entry.
proc winfo {args} { return 0 }
proc tk_messageBox {args} { puts "  pd: (message box: $args)"; return ok }
proc .menubar.help {args} {}

if {[catch {source $deken_tcl} why]} {
    say "FAILED: cannot load $deken_tcl: $why"
    exit 1
}
# Its dialog's message panes.
proc ::deken::post {msg args} { if {$msg ne ""} { puts "  deken says: $msg" } }
proc ::deken::status {args} {}
proc ::deken::progressstatus {args} {}
proc ::deken::progress {args} {}
proc ::deken::syncgui {} {}
if {[package provide zipfile::decode] ne ""} {
    say "pd_deken.tcl $::deken::version ($deken_tcl), unpacking with tcllib's zipfile::decode [package provide zipfile::decode]"
} else {
    say "pd_deken.tcl $::deken::version ($deken_tcl), unpacking with unzip -uo (no tcllib)"
}

# --- The name ------------------------------------------------------------------
set filename [file tail $package]
lassign [::deken::utilities::parse_filename $filename] pkgname pkgversion pkgarchs
say "parse_filename: name '$pkgname', version '$pkgversion', architectures $pkgarchs"
check {$pkgname eq "vorn~"} "the name is vorn~"
check {$pkgversion eq $version} "the version is $version"
check {$pkgarchs eq $archs} "the architectures are $archs"

# --- For which Pd it is offered --------------------------------------------------
# As Pd reports its platform to the GUI at start (::deken::set_platform, sent
# by s_inter.c): OS, CPU, pointer bits, float bits.
proc offered {os machine bits floatsize} {
    set ::deken::userplatform ""
    ::deken::set_platform $os $machine $bits $floatsize
    set detected [::deken::architecture_match $::pkgarchs]
    # The same platform chosen by hand in deken's preferences.
    set ::deken::userplatform "$os-$machine-$floatsize"
    set chosen [::deken::architecture_match $::pkgarchs]
    set ::deken::userplatform ""
    if {$detected != $chosen} { return "detected $detected, chosen $chosen" }
    return $detected
}
foreach platform {
    {Linux amd64 64 32} {Linux arm64 64 32} {Linux armv7 32 32} {Windows amd64 64 32} {Windows i386 32 32}
} {
    check {[offered {*}$platform] eq 1} "architecture_match offers it to Pd on [join $platform -]"
}
foreach {platform why} {
    {Linux amd64 64 64} "double precision"
    {Windows amd64 64 64} "double precision"
    {Darwin amd64 64 32} "macOS, not built"
    {Darwin arm64 64 32} "macOS, not built"
    {Linux armv6 32 32} "Armv6, older than the Armv7-A build"
    {Linux i386 32 32} "not built"
} {
    check {[offered {*}$platform] eq 0} "architecture_match refuses it to Pd on [join $platform -] ($why)"
}

# --- Its checksum ------------------------------------------------------------------
# "Install DEK file..." checks PACKAGE against PACKAGE.sha256 before it
# unpacks, and asks the user what to do when they differ. Checked on a copy
# with one bit changed as well.
set tmp [file join [file dirname $installdir] deken-tampered]
file delete -force $tmp
file mkdir $tmp
file copy $package $tmp
file copy $package.sha256 $tmp
set copy [file join $tmp $filename]
set f [open $copy r+]
fconfigure $f -translation binary
seek $f 100
set byte [read $f 1]
seek $f 100
puts -nonewline $f [binary format c [expr {([scan $byte %c] ^ 1) & 0xff}]]
close $f
check {[::deken::utilities::verify_sha256 $package $package] == 1} "verify_sha256 lets $filename be installed"
if {[::deken::utilities::verify_sha256 $copy $copy] == 1} {
    # Pd 0.53's verify_sha256 names the digest command by the variable of
    # the loop that defined it, which is not in its own scope: it never
    # gets a digest and lets every file through ("Unable to perform SHA256
    # verification"). Its comparison is run as written, with that variable
    # set as the loop left it.
    foreach impl {sha256sum shasum msw tcllib} {
        if {[::deken::utilities::sha256_$impl $::argv0] ne ""} break
    }
    say "note: this Pd's verify_sha256 lets the changed copy through too: it never computes a digest (its proc reads\
         impl, the variable of the loop that defined it); its own comparison, with impl = $impl:"
    set verify [list {url pkgfile} "set impl [list $impl]\n[info body ::deken::utilities::verify_sha256]" ::deken::utilities]
    check {[apply $verify $package $package] == 1} "verify_sha256's comparison accepts $filename.sha256"
    check {[apply $verify $copy $copy] == 0} "verify_sha256's comparison refuses the copy with one bit changed"
} else {
    say "ok: verify_sha256 refuses the copy with one bit changed"
}
file delete -force $tmp

# --- Unpacking ---------------------------------------------------------------------
file mkdir $installdir
set unpacked [::deken::utilities::extract $installdir $filename $package 1]
check {$unpacked == 1} "extract unpacks it into $installdir"
check {[file isdirectory [file join $installdir vorn~]]} "$installdir holds the folder vorn~"
check {[file exists $package]} "the package is kept (as asked)"

if {$failures} {
    say "$failures checks failed"
    exit 1
}
say "every check passed"
