' The example component called from VBScript: builds a small tree, copies it with a progress
' function, cancels a second copy halfway, reads sizes and searches, and shows a German error.
' Usage: cscript //nologo client.vbs FOLDER > out.txt   (Wine's cscript writes only to a file)
Option Explicit
Dim base, fso, tools, tree, files, i, file, found, path, last
base = WScript.Arguments(0)
Set fso = CreateObject("Scripting.FileSystemObject")
Set tools = CreateObject("Talven.FileTools")

' The progress routine: an object whose default member the component calls. It cancels from
' cancelAt on.
Class Progress
    Public cancelAt
    Public Default Function Report(fraction, text)
        last = fraction
        Report = fraction >= cancelAt
    End Function
End Class

Function NewProgress(cancelAt)
    Set NewProgress = New Progress
    NewProgress.cancelAt = cancelAt
End Function

Function YesNo(condition)
    If condition Then YesNo = "yes" Else YesNo = "no"
End Function

Sub Check(what)
    If Err.Number <> 0 Then
        WScript.Echo "unexpected error " & Hex(Err.Number) & " in " & what & ": " & Err.Description
        WScript.Quit 1
    End If
End Sub

On Error Resume Next
tree = base & "\tree"
fso.CreateFolder tree
fso.CreateFolder tree & "\sub"
files = Array("a.txt", "abc", "b.log", "hello", "sub\c.txt", "1234567", "sub\d.txt", "12345678901")
For i = 0 To UBound(files) Step 2
    Set file = fso.CreateTextFile(tree & "\" & files(i))
    file.Write files(i + 1)
    file.Close
Next
Check "building the tree"
WScript.Echo "version " & tools.Version
WScript.Echo "module " & fso.GetFileName(tools.ModulePath)

tools.CopyFolder tree, base & "\copy", NewProgress(2)
Check "the copy"
WScript.Echo "copy: last progress " & last & ", size " & tools.FolderSize(base & "\copy", True)

tools.CopyFolder tree, base & "\cancelled", NewProgress(0.5)
If Err.Number = 0 Then
    WScript.Echo "second copy: not cancelled"
Else
    WScript.Echo "second copy: cancelled at " & last & " with " & Hex(Err.Number) & _
                 ", target left: " & YesNo(fso.FolderExists(base & "\cancelled"))
    Err.Clear
End If

WScript.Echo "size " & tools.FolderSize(tree, False) & " of " & tools.FolderSize(tree, True)
For Each path In tools.FindFiles(tree, "*.txt", True)
    WScript.Echo "found " & Mid(path, Len(base) + 2)
Next
Check "the sizes and searches"

tools.Language = "DEU"
tools.FolderSize base & "\missing", True
If Err.Number = 0 Then
    WScript.Echo "no error"
Else
    WScript.Echo "error " & Hex(Err.Number) & ": " & Replace(Err.Description, base, "FOLDER")
    Err.Clear
End If
WScript.Echo "language " & tools.Language
Check "the language"
WScript.Quit 0
