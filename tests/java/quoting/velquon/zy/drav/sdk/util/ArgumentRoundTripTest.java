package velquon.zy.drav.sdk.util;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;
import startutil.test.Probe;
import startutil.test.ProbeReport;
import startutil.test.ProbeReports;

/**
 * Random argument lists through the quoting, the library's splitter and exec: each probe must
 * see its list exactly, and be the process whose pid the launch returned. Every other list
 * starts the probe by a name that must be quoted: a link with a space and an é in its name.
 */
public class ArgumentRoundTripTest {
    private static final int CASES = 2000;
    // Reports are checked and cleared per batch: pids wrap at 32,768 on many machines, and a
    // reused pid would overwrite an earlier probe's report.
    private static final int BATCH = 100;
    private static final int MAX_SHOWN = 10;

    private ProbeReports reports;
    private Path linkDirectory;
    private Path spacedProbe;

    @Before
    public void emptyReportDirectory() throws IOException {
        reports = ProbeReports.ofThisJvm();
        linkDirectory = Files.createTempDirectory("startutil-quoting");
        spacedProbe = Files.createSymbolicLink(linkDirectory.resolve("the probe \u00e9"),
                                               Probe.binary().toAbsolutePath());
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
        if (spacedProbe != null) Files.delete(spacedProbe);
        if (linkDirectory != null) Files.delete(linkDirectory);
    }

    @Test
    public void everyProbeGetsItsListExactlyAndTheReturnedPid() throws IOException {
        RandomCommands commands = new RandomCommands(20261209);
        List<String> failures = new ArrayList<>();
        for (int first = 0; first < CASES; first += BATCH) {
            Map<Long, List<String>> started = new HashMap<>();
            for (int i = first; i < first + BATCH; ++i) {
                List<String> command =
                    commands.next(i % 2 == 0 ? Probe.path() : spacedProbe.toString());
                long pid;
                try {
                    pid = DetachedProcess.start(command);
                } catch (IOException e) {
                    failures.add(describe(command) + ": " + e);
                    continue;
                }
                List<String> earlier = started.put(pid, command);
                assertTrue("pid " + pid + " returned twice: " + earlier + ", " + command,
                           earlier == null);
            }
            // Exactly one report per started probe, each from a pid a launch returned.
            for (ProbeReport report : reports.await(started.size(), 20_000)) {
                List<String> command = started.remove(report.pid());
                if (command == null) {
                    failures.add("a probe reported pid " + report.pid()
                                 + ", which no launch returned: " + report);
                } else if (!command.equals(report.argv())) {
                    failures.add(describe(command) + " arrived as "
                                 + RandomCommands.show(report.argv()));
                }
            }
            for (Map.Entry<Long, List<String>> lost : started.entrySet()) {
                failures.add("no report from pid " + lost.getKey() + ": " + describe(lost.getValue()));
            }
            reports = ProbeReports.fresh(reports.directory());
        }
        assertEquals(failures.size() + " of " + CASES + " lists failed, the first:\n"
                         + String.join("\n", failures.subList(0, Math.min(MAX_SHOWN, failures.size()))),
                     0, failures.size());
    }

    private static String describe(List<String> command) {
        return RandomCommands.describe(command, CommandLines.quote(command));
    }
}
