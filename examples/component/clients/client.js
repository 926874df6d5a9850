// The example component called from JScript: builds a small tree, copies it with a progress
// function, cancels a second copy halfway, reads sizes and searches, and shows a German error.
// Usage: cscript //nologo client.js FOLDER > out.txt   (Wine's cscript writes only to a file)
var base = WScript.Arguments(0);
var fso = new ActiveXObject("Scripting.FileSystemObject");
var tools = new ActiveXObject("Talven.FileTools");

function say(line) {
    WScript.Echo(line);
}
function hex(number) {
    return (number >>> 0).toString(16).toUpperCase();
}
function yesNo(condition) {
    return condition ? "yes" : "no";
}

try {
    var tree = base + "\\tree";
    fso.CreateFolder(tree);
    fso.CreateFolder(tree + "\\sub");
    var files = [["a.txt", "abc"], ["b.log", "hello"], ["sub\\c.txt", "1234567"],
                 ["sub\\d.txt", "12345678901"]];
    for (var i = 0; i < files.length; i++) {
        var file = fso.CreateTextFile(tree + "\\" + files[i][0]);
        file.Write(files[i][1]);
        file.Close();
    }
    say("version " + tools.Version);
    say("module " + fso.GetFileName(tools.ModulePath));

    var last = -1;
    tools.CopyFolder(tree, base + "\\copy", function (fraction, text) {
        last = fraction;
        return false;
    });
    say("copy: last progress " + last + ", size " + tools.FolderSize(base + "\\copy", true));

    try {
        tools.CopyFolder(tree, base + "\\cancelled", function (fraction, text) {
            last = fraction;
            return fraction >= 0.5;
        });
        say("second copy: not cancelled");
    } catch (e) {
        say("second copy: cancelled at " + last + " with " + hex(e.number) + ", target left: " +
            yesNo(fso.FolderExists(base + "\\cancelled")));
    }

    say("size " + tools.FolderSize(tree, false) + " of " + tools.FolderSize(tree, true));
    var found = new VBArray(tools.FindFiles(tree, "*.txt", true)).toArray();
    for (var i = 0; i < found.length; i++) {
        say("found " + found[i].substr(base.length + 1));
    }

    tools.Language = "DEU";
    try {
        tools.FolderSize(base + "\\missing", true);
        say("no error");
    } catch (e) {
        say("error " + hex(e.number) + ": " + e.description.replace(base, "FOLDER"));
    }
    say("language " + tools.Language);
} catch (e) {
    say("unexpected error " + hex(e.number) + ": " + e.description);
    WScript.Quit(1);
}
WScript.Quit(0);
