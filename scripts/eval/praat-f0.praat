# Reference pitch for scripts/eval-pitch: for every sound named in the list
# file, writes <outdir>/<name>.praat with "time<TAB>f0" per 10 ms frame
# (0 where Praat finds the frame unvoiced). Praat's autocorrelation method
# with its standard voicing settings, 60-500 Hz.
form Reference pitch
    sentence list
    sentence outdir
endform
strings = Read Strings from raw text file: list$
n = Get number of strings
for i to n
    selectObject: strings
    path$ = Get string: i
    name$ = replace_regex$(path$, "^.*/", "", 1)
    name$ = replace_regex$(name$, "\.[^.]*$", "", 1)
    sound = Read from file: path$
    pitch = To Pitch: 0.01, 60, 500
    nf = Get number of frames
    out$ = outdir$ + "/" + name$ + ".praat"
    deleteFile: out$
    for f to nf
        t = Get time from frame number: f
        v = Get value in frame: f, "Hertz"
        if v = undefined
            v = 0
        endif
        appendFileLine: out$, fixed$(t, 3), tab$, fixed$(v, 2)
    endfor
    removeObject: sound, pitch
endfor
