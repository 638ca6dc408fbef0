// Entry point of the C# check (tests/dist/check-hosts): the cdecl class of
// docs/hosts.md must bind every name as the stdcall one does in the guide's
// example, which then runs.
using System.Runtime.InteropServices;

public static class HostsCheck
{
    public static int Main()
    {
        Marshal.PrelinkAll(typeof(QuenthaloyC));
        return Example.Main();
    }
}
