package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNotEquals;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.io.FileOutputStream;
import java.io.IOException;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.function.Consumer;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * What a started child looks like from Java, for both methods. Each binding style of the class
 * runs the same checks through its own {@link Launcher}.
 */
public abstract class DetachedChildContract {
    private static final long REPORT_TIMEOUT_MS = 10_000;

    protected ProbeReports reports;

    protected abstract Launcher launcher();

    @Before
    public void emptyReportDirectory() throws IOException {
        reports = ProbeReports.ofThisJvm();
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
    }

    @Test
    public void pathModeChildLeadsItsOwnSessionAndHoldsOnlyDevNull() throws IOException {
        ProbeReport report = launchWithHandlesOpen(l -> l.invokeNonBlockingCommand(Probe.path()));
        assertDetached(report, List.of(Probe.path()));
    }

    @Test
    public void lineModeChildLeadsItsOwnSessionAndHoldsOnlyDevNull() throws IOException {
        ProbeReport report = launchWithHandlesOpen(
            l -> l.invokeNonBlockingCommandWithArgs(Probe.path() + " one two"));
        assertDetached(report, List.of(Probe.path(), "one", "two"));
    }

    @Test
    public void programPathWithSpacesQuotesAndNonAsciiStaysOneArgument() throws IOException {
        List<Path> programs = new ArrayList<>();
        // Two, three and four bytes of UTF-8, the last from a surrogate pair.
        String nonAscii = "with spaces/pr\u00f8be \u65e5\u672c \u00e9\u20ac\uD83D\uDE00";
        for (String name : new String[] {nonAscii, "shell chars/a;b $HOME \"q\" 'r' |& `id` *"}) {
            Path link = reports.directory().resolve("programs").resolve(name);
            Files.createDirectories(link.getParent());
            Files.createSymbolicLink(link, Probe.binary().toAbsolutePath());
            programs.add(link);
        }
        for (Path program : programs) launcher().invokeNonBlockingCommand(program.toString());
        // The first one again through the command line, quoted as a Windows program name is.
        launcher().invokeNonBlockingCommandWithArgs("\"" + programs.get(0) + "\" x");

        List<List<String>> argvs = new ArrayList<>();
        for (ProbeReport report : reports.await(3, REPORT_TIMEOUT_MS)) argvs.add(report.argv());
        assertTrue(argvs.toString(), argvs.contains(List.of(programs.get(0).toString())));
        assertTrue(argvs.toString(), argvs.contains(List.of(programs.get(1).toString())));
        assertTrue(argvs.toString(), argvs.contains(List.of(programs.get(0).toString(), "x")));
        assertNoChildLeft();
    }

    /** Arguments as the C runtime splits them; the expected list follows the program name. */
    private static final Object[][] SPLIT_CASES = {
        {"a \"b c\" d", List.of("a", "b c", "d")},
        {"d\\\"e", List.of("d\"e")},                 // \" is a literal quote
        {"\"f\\\"g\"", List.of("f\"g")},             // ... inside quotes too
        {"h\\\\i", List.of("h\\\\i")},               // backslashes before no quote stay
        {"j\\\\\\\"k", List.of("j\\\"k")},           // three and a quote: one and a quote
        {"\"l\\\\\"", List.of("l\\")},               // two and a quote: one, quote closes
        {"\\\\\\\\\"n\"", List.of("\\\\n")},         // four and a quote: two, quote opens
        {"\"\" x", List.of("", "x")},                // a quoted empty argument
        {"a\"b c\"d", List.of("ab cd")},             // quotes join within a word
        {"\"unterminated arg", List.of("unterminated arg")},
        {"x\ty   z", List.of("x", "y", "z")},        // tabs and runs of blanks separate
        {"m\\", List.of("m\\")},                     // a trailing backslash stays
    };

    /** No shell: every one of these arrives as written. */
    private static final String[] SHELL_CHARACTERS = {
        "$HOME", "*", ";", "|", "&&", ">out", "<in", "`id`", "$(id)", "'single'", "~", "%PATH%",
        "#comment", "a=b", "!!"};

    @Test
    public void commandLineIsSplitByWindowsRulesWithoutAShell() throws IOException {
        Map<String, List<String>> expected = new HashMap<>();
        for (int i = 0; i < SPLIT_CASES.length; ++i) {
            String tag = "split" + i;
            @SuppressWarnings("unchecked")
            List<String> args = (List<String>) SPLIT_CASES[i][1];
            expected.put(tag, args);
            launcher().invokeNonBlockingCommandWithArgs(
                Probe.path() + " " + tag + " " + SPLIT_CASES[i][0]);
        }
        expected.put("shell", Arrays.asList(SHELL_CHARACTERS));
        launcher().invokeNonBlockingCommandWithArgs(
            Probe.path() + " shell " + String.join(" ", SHELL_CHARACTERS));

        for (ProbeReport report : reports.await(expected.size(), REPORT_TIMEOUT_MS)) {
            List<String> argv = report.argv();
            List<String> want = expected.remove(argv.get(1));
            assertNotNull("unexpected child " + argv, want);
            assertEquals("program name", Probe.path(), argv.get(0));
            assertEquals("arguments of case " + argv.get(1), want, argv.subList(2, argv.size()));
        }
        assertNoChildLeft();
    }

    /** Launches while the JVM holds a listening socket and a file open, which must not leak. */
    private ProbeReport launchWithHandlesOpen(Consumer<Launcher> launch) throws IOException {
        Path file = reports.directory().resolve("held-open.txt");
        try (ServerSocket socket = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
             FileOutputStream out = new FileOutputStream(file.toFile())) {
            launch.accept(launcher());
        }
        return reports.await(1, REPORT_TIMEOUT_MS).get(0);
    }

    private void assertDetached(ProbeReport report, List<String> argv) throws IOException {
        String detail = report.toString();
        assertEquals(detail, argv, report.argv());
        assertDetachedFrom(report, Probe.jvmPid());
        assertEquals("working directory " + detail,
                     Paths.get("").toAbsolutePath().toRealPath().toString(), report.get("cwd"));
        assertNoChildLeft();
    }

    /** The probe that a JVM of this pid started has every property of a detached child. */
    public static void assertDetachedFrom(ProbeReport report, long jvmPid) {
        String detail = report.toString();
        assertEquals("process group " + detail, report.pid(), report.number("pgid"));
        assertEquals("session " + detail, report.pid(), report.number("sid"));
        assertEquals("controlling terminal " + detail, "none", report.get("tty"));
        assertEquals("descriptors " + detail,
                     Map.of(0, "/dev/null", 1, "/dev/null", 2, "/dev/null"), report.descriptors());
        String environment = System.getenv("STARTUTIL_PROBE_ENV");
        assertNotNull("CTest sets STARTUTIL_PROBE_ENV for the test JVM", environment);
        assertEquals("environment " + detail, environment, report.get("env"));
        assertNotEquals("parent " + detail, jvmPid, report.number("ppid"));
        assertEquals("blocked signals " + detail, "0000000000000000", report.get("sigmask"));
        assertEquals("ignored signals " + detail, "", report.get("sigignored"));
    }

    /** Whatever the library forks in between is gone, not left a zombie of the JVM. */
    public static void assertNoChildLeft() throws IOException {
        long jvm = Probe.jvmPid();
        boolean gone = Deadlines.poll(() -> {
            try {
                return ProcessTable.childrenOf(jvm).isEmpty()
                    && ProcessHandle.current().children().count() == 0;
            } catch (IOException e) {
                throw new AssertionError(e);
            }
        }, 3000);
        if (!gone) fail("the JVM still has children: " + ProcessTable.childrenOf(jvm));
    }
}
