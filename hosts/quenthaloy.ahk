; Quenthaloy for AutoHotkey v2, 32-bit or 64-bit: #Include this file.
;
; It loads QuenthaloyC.dll, the cdecl build, of the script's bitness: x86\ for
; 32-bit AutoHotkey, x64\ for 64-bit (A_PtrSize), from the release zip's top
; folder, which holds this file's hosts\ folder; set QuenthaloyRoot before the
; #Include to load from elsewhere. It keeps the DLL loaded for the script's
; life: DllCall would otherwise load and free it around each call, which
; throws the queue away each time.
;
; A script has one thread: WaitThreadMessage and SendThreadMessageAndWait
; would stop it. Poll with QuenthaloyGetThreadMessage from a SetTimer, and take resources
; with a short time-out.
#Requires AutoHotkey v2.0

if !IsSet(QuenthaloyRoot)
    QuenthaloyRoot := A_LineFile "\..\.."
QuenthaloyModule := QuenthaloyLoad(QuenthaloyRoot)

QuenthaloyLoad(root) {
    path := root "\" (A_PtrSize = 8 ? "x64" : "x86") "\QuenthaloyC.dll"
    module := DllCall("LoadLibrary", "Str", path, "Ptr")
    if !module
        throw OSError(A_LastError, -1, path)
    return module
}

; Every argument and result is a 32-bit integer ("Int"); see the hosts guide
; for what each returns.
QuenthaloyAddThreadResource() => DllCall("QuenthaloyC\AddThreadResource", "Cdecl Int")
QuenthaloyCloseThreadResource(resource) => DllCall("QuenthaloyC\CloseThreadResource", "Int", resource, "Cdecl Int")
QuenthaloyDeleteThreadResource(resource) => DllCall("QuenthaloyC\DeleteThreadResource", "Int", resource, "Cdecl Int")
QuenthaloyGetThreadMessage(recipient) => DllCall("QuenthaloyC\GetThreadMessage", "Int", recipient, "Cdecl Int")
QuenthaloyOpenThreadResource(resource) => DllCall("QuenthaloyC\OpenThreadResource", "Int", resource, "Cdecl Int")
QuenthaloyOpenThreadResourceWithin(resource, milliseconds) => DllCall("QuenthaloyC\OpenThreadResourceWithin", "Int", resource, "Int", milliseconds, "Cdecl Int")
QuenthaloySendThreadMessage(recipient, value) => DllCall("QuenthaloyC\SendThreadMessage", "Int", recipient, "Int", value, "Cdecl Int")
QuenthaloySendThreadMessageAndWait(recipient, value) => DllCall("QuenthaloyC\SendThreadMessageAndWait", "Int", recipient, "Int", value, "Cdecl Int")
QuenthaloyWaitThreadMessage(recipient) => DllCall("QuenthaloyC\WaitThreadMessage", "Int", recipient, "Cdecl Int")
