<CsoundSynthesizer>
; The peer benchmark's workload for Csound's syncgrain. bench/peers/run.sh
; fills in the @NAMES@ and passes the output file and its format on the
; command line.
;
; @OVERLAP@ grains of @GRAIN@ s sound at once: syncgrain starts a grain
; @OVERLAP@ / @GRAIN@ times a second, each @GRAIN@ s long, reading
; @PITCH@ frames a sample (kpitch; 1 is the original pitch), under a Hann
; window (GEN20 window type 2). The read pointer
; moves kprate grain sizes per grain started, so kprate = @SPEED@ / @OVERLAP@
; scans the source at @SPEED@ s of source per second of output. The output is
; scaled by 2 / @OVERLAP@, so the Hann windows add up to unity gain.
<CsOptions>
-d -m0 --nodisplays
</CsOptions>
<CsInstruments>
sr = 44100
ksmps = 64
nchnls = 1
0dbfs = 1

giSrc ftgen 1, 0, 0, 1, "@SRC@", 0, 0, 1   ; deferred size: the whole mono file
giWin ftgen 2, 0, 16384, 20, 2, 1           ; Hann window

instr 1
  iOverlap = @OVERLAP@
  iGrain   = @GRAIN@
  ; iolaps: the most grains alive at once. A grain period rarely divides a
  ; block, so leave a little room; spare slots do not change the output.
  aOut syncgrain 2 / iOverlap, iOverlap / iGrain, @PITCH@, iGrain, @SPEED@ / iOverlap, giSrc, giWin, iOverlap + 2
  out aOut
endin
</CsInstruments>
<CsScore>
i1 0 @DURATION@
</CsScore>
</CsoundSynthesizer>
