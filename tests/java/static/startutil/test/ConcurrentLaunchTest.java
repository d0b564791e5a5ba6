package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;
import velquon.zy.drav.sdk.util.DetachedProcess;
import velquon.zy.drav.sdk.util.ServerStartUtility;

/** Many launches at once from one JVM: every child starts, and nothing is left behind. */
public class ConcurrentLaunchTest {
    private static final int THREADS = 8;
    private static final int LAUNCHES_PER_THREAD = 25;
    private static final int DETACHED_PER_THREAD = 5;

    private ProbeReports reports;
    private ExecutorService pool;

    @Before
    public void emptyReportDirectory() throws IOException {
        reports = ProbeReports.ofThisJvm();
        pool = Executors.newFixedThreadPool(THREADS);
    }

    @After
    public void endEveryProbe() throws Exception {
        pool.shutdownNow();
        assertTrue(pool.awaitTermination(Deadlines.scaled(10_000), TimeUnit.MILLISECONDS));
        reports.endLingering();
    }

    @Test
    public void launchesFromEightThreadsAllStartAndLeakNoDescriptorOrZombie() throws Exception {
        // One launch per thread first, so that whatever the JVM opens once is open already.
        runOnEveryThread(1, "warm");
        reports.await(THREADS, 10_000);
        reports = ProbeReports.fresh(reports.directory());
        DetachedChildContract.assertNoChildLeft();
        int descriptorsBefore = ProcessTable.openDescriptors();

        runOnEveryThread(LAUNCHES_PER_THREAD, "t");

        List<ProbeReport> children = reports.await(THREADS * LAUNCHES_PER_THREAD, 30_000);
        int byPath = 0;
        Set<String> tags = new HashSet<>();
        for (ProbeReport child : children) {
            assertEquals("session of " + child, child.pid(), child.number("sid"));
            assertEquals("descriptors of " + child, 3, child.descriptors().size());
            List<String> argv = child.argv();
            if (argv.size() == 1) {
                ++byPath;
            } else {
                assertTrue("duplicate child " + argv, tags.add(argv.get(1)));
            }
        }
        assertEquals(THREADS * LAUNCHES_PER_THREAD / 2, byPath);
        DetachedChildContract.assertNoChildLeft();
        assertTrue("the JVM holds more descriptors than before: " + descriptorsBefore,
                   Deadlines.poll(() -> {
                       try {
                           return ProcessTable.openDescriptors() <= descriptorsBefore;
                       } catch (IOException e) {
                           throw new AssertionError(e);
                       }
                   }, 2000));
    }

    @Test
    public void detachedProcessFromEightThreadsGivesEachCallItsOwnChildsPid() throws Exception {
        Map<String, Long> pids = new ConcurrentHashMap<>();
        runOnEveryThread(DETACHED_PER_THREAD, (thread, i) -> {
            String tag = "d" + thread + "-" + i;
            // Original calls in between: their echo must not silence or divert anyone's outcome.
            if (i == 2) ServerStartUtility.invokeNonBlockingCommand(Probe.path());
            pids.put(tag, i % 2 == 0 ? DetachedProcess.start(Probe.path(), tag)
                                     : DetachedProcess.startCommandLine(Probe.path() + " " + tag));
        });

        List<ProbeReport> children = reports.await(THREADS * (DETACHED_PER_THREAD + 1), 30_000);
        for (ProbeReport child : children) {
            if (child.argv().size() == 1) continue;
            String tag = child.argv().get(1);
            assertEquals("pid returned for " + tag, pids.get(tag), Long.valueOf(child.pid()));
        }
        assertEquals("distinct pids " + pids, THREADS * DETACHED_PER_THREAD,
                     new HashSet<>(pids.values()).size());
        DetachedChildContract.assertNoChildLeft();
    }

    /** One launch (or several) of one thread. */
    private interface Launch {
        void run(int thread, int i) throws Exception;
    }

    /** Every thread launches {@code count} children at the same moment, alternating methods. */
    private void runOnEveryThread(int count, String tag) throws Exception {
        runOnEveryThread(count, (thread, i) -> {
            if ((thread + i) % 2 == 0) {
                ServerStartUtility.invokeNonBlockingCommand(Probe.path());
            } else {
                ServerStartUtility.invokeNonBlockingCommandWithArgs(
                    Probe.path() + " " + tag + thread + "-" + i);
            }
        });
    }

    private void runOnEveryThread(int count, Launch launch) throws Exception {
        CountDownLatch start = new CountDownLatch(1);
        List<Future<?>> done = new ArrayList<>();
        for (int t = 0; t < THREADS; ++t) {
            int thread = t;
            done.add(pool.submit(() -> {
                start.await();
                for (int i = 0; i < count; ++i) launch.run(thread, i);
                return null;
            }));
        }
        start.countDown();
        for (Future<?> f : done) f.get(Deadlines.scaled(30_000), TimeUnit.MILLISECONDS);
    }
}
