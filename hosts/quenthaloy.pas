{ Quenthaloy for Delphi and Free Pascal: the library's nine functions, from
  the stdcall Quenthaloy.dll on Windows (x86\ for 32-bit programs, x64\ for
  64-bit ones) and libquenthaloy.so on Linux. For QuenthaloyC.dll, write cdecl
  and 'QuenthaloyC.dll' instead. Every argument and result is Int32, 32 bits
  with every compiler and target. }
unit Quenthaloy;

interface

const
{$IFDEF MSWINDOWS}
  QuenthaloyLibrary = 'Quenthaloy.dll';
{$ELSE}
  QuenthaloyLibrary = 'quenthaloy'; { libquenthaloy.so }
{$ENDIF}

function AddThreadResource: Int32; stdcall; external QuenthaloyLibrary;
function CloseThreadResource(Resource: Int32): Int32; stdcall; external QuenthaloyLibrary;
function DeleteThreadResource(Resource: Int32): Int32; stdcall; external QuenthaloyLibrary;
function GetThreadMessage(Recipient: Int32): Int32; stdcall; external QuenthaloyLibrary;
function OpenThreadResource(Resource: Int32): Int32; stdcall; external QuenthaloyLibrary;
function OpenThreadResourceWithin(Resource, Milliseconds: Int32): Int32; stdcall; external QuenthaloyLibrary;
function SendThreadMessage(Recipient, Value: Int32): Int32; stdcall; external QuenthaloyLibrary;
function SendThreadMessageAndWait(Recipient, Value: Int32): Int32; stdcall; external QuenthaloyLibrary;
function WaitThreadMessage(Recipient: Int32): Int32; stdcall; external QuenthaloyLibrary;

implementation

end.
