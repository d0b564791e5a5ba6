package startutil.test;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;
import org.junit.function.ThrowingRunnable;
import velquon.zy.drav.sdk.util.DetachedProcess;
import velquon.zy.drav.sdk.util.LaunchException;

/**
 * DetachedProcess through the library: the pid it returns is the detached program's, a failure
 * is a LaunchException with the library's line and code, and nothing is ever written to the
 * JVM's output.
 */
public class DetachedProcessTest {
    private static final long REPORT_TIMEOUT_MS = 10_000;
    private static final String MISSING = "/nonexistent/startutil-missing";

    private ProbeReports reports;

    @Before
    public void emptyReportDirectory() throws IOException {
        reports = ProbeReports.ofThisJvm();
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
    }

    @Test
    public void eachWayOfStartingReturnsThePidOfTheDetachedProgram() throws IOException {
        String probe = Probe.path();
        Map<List<String>, Long> pids = new HashMap<>();
        pids.put(List.of(probe, "array", "two words", ""),
                 DetachedProcess.start(probe, "array", "two words", ""));
        pids.put(List.of(probe, "list", "a\"b"),
                 DetachedProcess.start(List.of(probe, "list", "a\"b")));
        pids.put(List.of(probe, "line", "two words"),
                 DetachedProcess.startCommandLine(probe + " line \"two words\""));

        for (ProbeReport report : reports.await(3, REPORT_TIMEOUT_MS)) {
            assertEquals("pid returned for " + report.argv() + " of " + pids,
                         pids.get(report.argv()), Long.valueOf(report.pid()));
            DetachedChildContract.assertDetachedFrom(report, Probe.jvmPid());
        }
        DetachedChildContract.assertNoChildLeft();
    }

    @Test
    public void failedLaunchIsALaunchExceptionWithTheLibrarysLineAndCode() throws IOException {
        Path directory = Files.createDirectories(reports.directory().resolve("a directory"));
        assertLaunchFails(2, "\"" + MISSING + "\": No such file or directory",
                          () -> DetachedProcess.start(MISSING));
        assertLaunchFails(2, "\"" + MISSING + " arg\": No such file or directory",
                          () -> DetachedProcess.start(List.of(MISSING, "arg")));
        String quotedDirectory = "\"" + directory + "\" arg";
        assertLaunchFails(13, "\"" + quotedDirectory + "\": Permission denied",
                          () -> DetachedProcess.startCommandLine(quotedDirectory));
        LaunchException byList = assertThrows(LaunchException.class,
                                              () -> DetachedProcess.start(directory.toString()));
        assertEquals(byList.getMessage(), 13, byList.getErrorCode());
        assertTrue(byList.getMessage(), byList.getMessage().contains(directory.toString()));
    }

    private static void assertLaunchFails(long code, String what, ThrowingRunnable launch) {
        LaunchException e = assertThrows(LaunchException.class, launch);
        assertEquals("StartUtil: cannot start " + what + " (error " + code + ")", e.getMessage());
        assertEquals(e.getMessage(), code, e.getErrorCode());
    }

    @Test
    public void badArgumentsThrowBeforeAnythingStarts() throws IOException {
        String probe = Probe.path();
        assertThrows(NullPointerException.class, () -> DetachedProcess.start((String[]) null));
        assertThrows(NullPointerException.class, () -> DetachedProcess.start((List<String>) null));
        assertThrows(NullPointerException.class, () -> DetachedProcess.start(probe, "npe", null));
        assertThrows(NullPointerException.class,
                     () -> DetachedProcess.start(Arrays.asList(probe, "npe", null)));
        assertThrows(NullPointerException.class, () -> DetachedProcess.startCommandLine(null));
        assertThrows(IllegalArgumentException.class, () -> DetachedProcess.start());
        assertThrows(IllegalArgumentException.class, () -> DetachedProcess.start(List.of()));
        assertThrows(IllegalArgumentException.class,
                     () -> DetachedProcess.start(probe, "nul", "a\0b"));
        assertThrows(IllegalArgumentException.class,
                     () -> DetachedProcess.start(probe + "\"", "quote"));

        // Whatever one of those started would report before this one, launched after them all.
        long pid = DetachedProcess.start(probe, "after");
        ProbeReport only = reports.await(1, REPORT_TIMEOUT_MS).get(0);
        assertEquals(List.of(probe, "after"), only.argv());
        assertEquals(pid, only.pid());
    }

    @Test
    public void detachedProcessWritesNothingWhereTheOriginalEchoesAndReports() throws Exception {
        String probe = Probe.path();
        String[][] calls = {
            {DriverRun.DETACHED_ARGS, probe + " quiet-args"},
            {DriverRun.DETACHED_LINE, probe + " quiet-line"},
            {DriverRun.DETACHED_ARGS, MISSING + " quiet"},
            {DriverRun.DETACHED_LINE, MISSING + " quiet"},
            {DriverRun.LINE, probe + " loud"},
            {DriverRun.LINE, MISSING + " loud"},
            // Quiet again after the loud calls: silence belongs to the call, not to the JVM.
            {DriverRun.DETACHED_LINE, probe + " quiet-again"},
        };
        // -Xcheck:jni: the library calls back into Java here, which the checks watch.
        DriverRun run = DriverRun.runUnderJniChecks(reports.directory().resolve("driver"), calls);
        byte[] stdout = run.stdoutBytes();
        String stderr = run.stderrText();
        String missingLine = "StartUtil: cannot start \"" + MISSING + " %s\": No such file or "
                             + "directory (error 2)";
        Map<Integer, String> outcomes = run.outcomes();
        Map<String, Long> pids = new HashMap<>();
        for (int i = 0; i < calls.length; ++i) {
            String text = calls[i][1];
            boolean quiet = !calls[i][0].equals(DriverRun.LINE);
            boolean fails = text.startsWith(MISSING);
            String tag = text.substring(text.lastIndexOf(' ') + 1);
            assertArrayEquals("stdout of call " + i,
                              (quiet ? "" : text).getBytes(StandardCharsets.UTF_8),
                              DriverRun.segment(stdout, i, calls.length));
            String expectedErr = quiet || !fails ? "" : String.format(missingLine, tag) + "\n";
            assertEquals("stderr of call " + i, expectedErr, new String(
                DriverRun.segment(stderr.getBytes(StandardCharsets.UTF_8), i, calls.length),
                StandardCharsets.UTF_8));
            if (!quiet) continue;
            String outcome = outcomes.get(i);
            if (fails) {
                assertEquals("outcome of call " + i,
                             "LaunchException 2 " + String.format(missingLine, tag), outcome);
            } else {
                assertTrue("outcome of call " + i + ": " + outcome,
                           String.valueOf(outcome).startsWith("pid "));
                pids.put(tag, Long.parseLong(outcome.substring(4)));
            }
        }
        assertEquals("outcomes " + outcomes, 5, outcomes.size());
        assertTrue("driver left children", new String(stdout, StandardCharsets.UTF_8)
                                                .endsWith("<<children 0>>\n"));
        for (ProbeReport report : reports.await(4, REPORT_TIMEOUT_MS)) {
            String tag = report.argv().get(1);
            if (!tag.equals("loud")) {
                assertEquals("pid of " + tag, pids.get(tag), Long.valueOf(report.pid()));
            }
        }
    }
}
