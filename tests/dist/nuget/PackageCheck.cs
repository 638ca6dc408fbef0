// Run by tests/dist/check-nupkg, compiled with the NuGet package's
// Quenthaloy.cs and loading the package's own Linux library: the demo's
// exchange through the declared functions, and Resource as a using statement
// takes it: given back on dispose, held against other threads, abandonment
// told once, refused after Dispose. Every wait has a deadline.
using System;
using System.Threading;
using Quenthaloy;

public static class PackageCheck
{
    const int Deadline = 10000;
    static int failures;

    static void Expect(bool condition, string what)
    {
        if (!condition)
        {
            Console.WriteLine("FAIL: " + what);
            failures++;
        }
    }

    // Runs `body` on a thread of its own, which ends by the deadline.
    static void OnOtherThread(ThreadStart body, string what)
    {
        var thread = new Thread(body);
        thread.Start();
        Expect(thread.Join(Deadline), what + " ended by the deadline");
    }

    static void Exchange()
    {
        int received = 0;
        var worker = new Thread(() => { received = Native.WaitThreadMessage(7); });
        worker.Start();
        Expect(Native.SendThreadMessageAndWait(7, 42) == 0, "the synchronous send returned 0");
        Expect(worker.Join(Deadline), "the worker ended by the deadline");
        Expect(received == 42, "the worker received 42, not " + received);
        Native.SendThreadMessage(8, 5);
        Expect(Native.GetThreadMessage(8) == 5 && Native.GetThreadMessage(8) == 0, "a post was polled once");
    }

    static void TakenInUsing()
    {
        using (var resource = new Resource())
        {
            bool takenElsewhere = true;
            using (resource.Take())
            {
                Expect(!resource.Abandoned, "a fresh resource was not abandoned");
                using (resource.Take())
                {
                }
                OnOtherThread(() => { takenElsewhere = resource.TryTake(0) || resource.TryTake(50); }, "the other taker");
                Expect(!takenElsewhere, "a resource held here was not taken by another thread");
            }
            OnOtherThread(() => { takenElsewhere = resource.TryTake(0) && resource.Release(); }, "the other taker");
            Expect(takenElsewhere, "given back twice at the ends of the using blocks, it was free");
            Expect(!resource.Release(), "a thread that does not hold it gives nothing back");
        }
    }

    static void Abandoned()
    {
        using (var resource = new Resource())
        {
            OnOtherThread(() => { resource.Take(); }, "the thread that abandons it");
            using (resource.Take())
            {
                Expect(resource.Abandoned, "the take after its holder ended was told it was abandoned");
            }
            Expect(resource.TryTake(Timeout.Infinite), "it was free again");
            Expect(!resource.Abandoned, "one abandonment was told once");
            Expect(resource.Release(), "given back");
        }
    }

    static void Disposed()
    {
        var resource = new Resource();
        Expect(resource.Handle != 0, "a resource has a handle");
        resource.Dispose();
        resource.Dispose();
        Expect(resource.Handle == 0 && !resource.TryTake(0) && !resource.TryTake(50), "a disposed resource is not taken");
        try
        {
            resource.Take();
            Expect(false, "Take on a disposed resource threw");
        }
        catch (ObjectDisposedException)
        {
        }
    }

    public static int Main()
    {
        Exchange();
        TakenInUsing();
        Abandoned();
        Disposed();
        Console.WriteLine(failures == 0 ? "the package's C# ran against its library" : failures + " checks failed");
        return failures == 0 ? 0 : 1;
    }
}
