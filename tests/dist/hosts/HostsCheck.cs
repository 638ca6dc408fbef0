// Entry point of the C# check (tests/dist/check-hosts): the guide's example,
// compiled with hosts/Quenthaloy.cs, binds every function of that file
// (Marshal.PrelinkAll) before it runs.
public static class HostsCheck
{
    public static int Main()
    {
        return Example.Main();
    }
}
