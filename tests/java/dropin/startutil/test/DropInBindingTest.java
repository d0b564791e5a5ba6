package startutil.test;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.Test;

/**
 * A class of the callers' own that declares only the two static natives: the library looks for
 * its hooks there on every call, finds none, and must launch, echo and report as before, with
 * no exception left pending. The static binding's contract runs against this class here, as the
 * drop-in class stands in for the product on this class path.
 */
public class DropInBindingTest extends StaticBindingTest {
    private static final String MISSING = "/nonexistent/startutil-missing";

    @Test
    public void echoesStartsAndReportsOneFailureLineUnderJniChecks() throws Exception {
        String probe = Probe.path();
        String[][] calls = {
            {DriverRun.PATH, probe}, {DriverRun.LINE, probe + " drop-in"},
            {DriverRun.PATH, MISSING}, {DriverRun.LINE, MISSING + " x"}};
        DriverRun run = DriverRun.runUnderJniChecks(reports.directory().resolve("driver"), calls);
        byte[] stdout = run.stdoutBytes();
        byte[] stderr = run.stderrText().getBytes(StandardCharsets.UTF_8);
        for (int i = 0; i < calls.length; ++i) {
            String text = calls[i][1];
            assertArrayEquals("echo of call " + i, text.getBytes(StandardCharsets.UTF_8),
                              DriverRun.segment(stdout, i, calls.length));
            String failure = text.startsWith(MISSING)
                ? "StartUtil: cannot start \"" + text + "\": No such file or directory (error 2)\n"
                : "";
            assertEquals("stderr of call " + i, failure, new String(
                DriverRun.segment(stderr, i, calls.length), StandardCharsets.UTF_8));
        }
        assertTrue("driver left children", new String(stdout, StandardCharsets.UTF_8)
                                                .endsWith("<<children 0>>\n"));
        List<List<String>> argvs = new ArrayList<>();
        for (ProbeReport report : reports.await(2, 10_000)) argvs.add(report.argv());
        assertTrue(argvs.toString(), argvs.contains(List.of(probe)));
        assertTrue(argvs.toString(), argvs.contains(List.of(probe, "drop-in")));
    }
}
