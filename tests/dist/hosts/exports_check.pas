{ Links every function of the unit in docs/hosts.md: the guide's example
  calls only some, and a name the library does not export fails this link. }
program ExportsCheck;

uses Quenthaloy;

const
  Functions: array[0..8] of Pointer = (@AddThreadResource, @CloseThreadResource, @DeleteThreadResource,
    @GetThreadMessage, @OpenThreadResource, @OpenThreadResourceWithin, @SendThreadMessage,
    @SendThreadMessageAndWait, @WaitThreadMessage);

var
  I: Integer;

begin
  for I := Low(Functions) to High(Functions) do
    if Functions[I] = nil then Halt(1);
end.
