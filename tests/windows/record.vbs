' Drives the Record control from a script host:
'   cscript //nologo record.vbs SECONDS SENTENCE [TIMEOUT_MS]
' Prints "Finish_Recog N" when the event arrives and "GetScore N" after it;
' exits 0 when the event came and GetScore agrees with it. A script host
' that cannot connect a script to the control's events (Wine's says so) gets
' the score by polling GetScore until the job has replaced the initial 0.
' Wine's WScript.Sleep is a stub that stops the script, so Pause waits on
' the clock instead.
Option Explicit

Dim done, eventScore
done = False

Sub Ctl_Finish_Recog(score)
    eventScore = score
    done = True
    WScript.Echo "Finish_Recog " & score
End Sub

Sub Pause(ms)
    Dim t0
    t0 = Timer
    Do While (Timer - t0) * 1000 < ms And Timer >= t0
    Loop
End Sub

Dim args, seconds, sentence, timeout, waited, ctl, score
Set args = WScript.Arguments
seconds = CInt(args(0))
sentence = args(1)
timeout = 120000
If args.Count > 2 Then timeout = CLng(args(2))

Dim events
Set ctl = CreateObject("QUORVANE.Record")
WScript.Echo "created " & TypeName(ctl)
On Error Resume Next
WScript.ConnectObject ctl, "Ctl_"
events = (Err.Number = 0)
Err.Clear
On Error GoTo 0
If events Then
    WScript.Echo "events connected"
Else
    WScript.Echo "events: this script host cannot connect them; polling GetScore"
End If
WScript.Echo "GetScore before any job " & ctl.GetScore()
ctl.StartRecord seconds, sentence
WScript.Echo "StartRecord returned"
waited = 0
Do While waited < timeout
    If events Then
        If done Then Exit Do
    ElseIf ctl.GetScore() <> 0 Then
        Exit Do
    End If
    Pause 50
    waited = waited + 50
Loop
If waited >= timeout Then
    WScript.Echo "FAIL: no score within " & timeout & " ms"
    WScript.Quit 1
End If
score = ctl.GetScore()
WScript.Echo "GetScore " & score
If events And score <> eventScore Then
    WScript.Echo "FAIL: GetScore disagrees with the event"
    WScript.Quit 1
End If
Set ctl = Nothing
WScript.Quit 0
