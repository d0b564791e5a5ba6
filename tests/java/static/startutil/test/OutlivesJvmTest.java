package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNotEquals;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/** The child from a JVM of its own: it outlives that JVM and ignores how that JVM was run. */
public class OutlivesJvmTest {
    private static final String[][] BOTH_METHODS = {
        {DriverRun.PATH, Probe.path()}, {DriverRun.LINE, Probe.path() + " by-line"}};

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
    public void childOutlivesSigkillOfTheLaunchingJvmsWholeProcessGroup() throws Exception {
        try (DriverRun driver = new DriverRun(reports.directory().resolve("driver"),
                                              List.of("setsid"), BOTH_METHODS, true,
                                              Map.of("STARTUTIL_PROBE_LINGER_MS", "30000"))) {
            // The calls return while both children still linger: nobody waits for them.
            assertTrue("driver never finished its calls: " + driver.stderrText(),
                       driver.awaitMarker("end", 20_000));
            List<ProbeReport> children = reports.await(2, 10_000);
            long group = driver.process().pid();
            assertEquals("setsid made the driver lead its own group", group,
                         ProcessTable.stat(group).orElseThrow().pgrp);
            for (ProbeReport child : children) {
                assertNotEquals("child in the driver's group " + child, group,
                                child.number("pgid"));
                assertNotEquals("child of the driver " + child, group, child.number("ppid"));
                assertTrue("child ended before the driver was killed " + child,
                           ProcessTable.isRunning(child.pid()));
            }

            Process kill = new ProcessBuilder("kill", "-KILL", "--", "-" + group).start();
            assertTrue(kill.waitFor(10, TimeUnit.SECONDS));
            assertEquals("kill of the group", 0, kill.exitValue());
            assertTrue("driver survived SIGKILL", driver.process().waitFor(10, TimeUnit.SECONDS));

            for (ProbeReport child : children) {
                assertTrue("child died with the driver's group " + child,
                           ProcessTable.isRunning(child.pid()));
            }
        }
    }

    @Test
    public void childOfAJvmUnderNohupStartsWithNoIgnoredOrBlockedSignal() throws Exception {
        String stdout;
        try (DriverRun driver = new DriverRun(reports.directory().resolve("driver"),
                                              List.of("nohup"), BOTH_METHODS, false, Map.of())) {
            assertEquals("driver exit, stderr: " + driver.stderrText(), 0, driver.awaitExit());
            stdout = new String(driver.stdoutBytes(), java.nio.charset.StandardCharsets.UTF_8);
        }
        String ignored = stdout.substring(stdout.indexOf("<<sigign ") + 9, stdout.indexOf(">>"));
        assertTrue("nohup left SIGHUP ignored in the driver: " + ignored,
                   (Long.parseUnsignedLong(ignored, 16) & 1) != 0);
        assertTrue("driver left children: " + stdout, stdout.endsWith("<<children 0>>\n"));
        for (ProbeReport child : reports.await(2, 10_000)) {
            assertEquals("ignored signals " + child, "", child.get("sigignored"));
            assertEquals("blocked signals " + child, "0000000000000000", child.get("sigmask"));
        }
    }
}
