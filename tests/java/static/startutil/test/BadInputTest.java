package startutil.test;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * Texts that must not start anything, or must start exactly the right thing, seen from a JVM
 * whose output is captured: every call returns normally, echoes its text and reports a failure
 * on one line of its own.
 */
public class BadInputTest {
    private static final int ANY_CODE = -1;
    private static final int ENOEXEC = 8;
    private static final int ENOENT = 2;
    private static final int E2BIG = 7;
    private static final int EACCES = 13;
    private static final int EINVAL = 22;
    private static final int ENAMETOOLONG = 36;
    private static final int SEVERAL_MIB = 4 << 20;
    private static final int QUOTED_CHARS = 1000;

    /** One call: what it echoes, the error code it reports (none when it starts) and the argv. */
    private static final class Call {
        final String mode;
        final String text;
        final String echo;
        final Integer code;
        final List<String> argv;

        Call(String mode, String text, String echo, Integer code, List<String> argv) {
            this.mode = mode;
            this.text = text;
            this.echo = echo;
            this.code = code;
            this.argv = argv;
        }

        static Call fails(String mode, String text, int code) {
            return new Call(mode, text, text == null ? "" : text, code, null);
        }

        @Override
        public String toString() {
            String shown = text == null ? "null" : text.length() > 80 ? text.substring(0, 80) : text;
            return mode + " \"" + shown.replace("\0", "\\0") + "\"";
        }
    }

    private ProbeReports reports;
    private Path files;

    @Before
    public void emptyReportDirectory() throws IOException {
        reports = ProbeReports.ofThisJvm();
        files = Files.createDirectories(reports.directory().resolve("files"));
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
    }

    @Test
    public void badTextsReturnNormallyEchoAndStartNothingOrTheRightThing() throws Exception {
        String probe = Probe.path();
        String bareName = Probe.binary().getFileName().toString();
        Path directory = Files.createDirectories(files.resolve("a directory"));
        Path notExecutable = files.resolve("not-executable");
        Files.copy(Probe.binary(), notExecutable);
        Files.setPosixFilePermissions(notExecutable, PosixFilePermissions.fromString("rw-r--r--"));
        // A shell would run this; no shell may be involved, so it must fail instead.
        Path shellRan = files.resolve("a shell ran");
        Path noInterpreter = files.resolve("no-interpreter-line");
        Files.writeString(noInterpreter, "touch '" + shellRan + "'\n");
        Files.setPosixFilePermissions(noInterpreter, PosixFilePermissions.fromString("rwxr-xr-x"));
        String bigName = "/" + "x".repeat(SEVERAL_MIB);
        String bigLine = probe + " big " + "x".repeat(SEVERAL_MIB);
        String P = DriverRun.PATH;
        String L = DriverRun.LINE;

        List<Call> calls = List.of(
            Call.fails(P, null, EINVAL), Call.fails(L, null, EINVAL),
            Call.fails(P, "", ANY_CODE), Call.fails(L, "", ANY_CODE),
            Call.fails(P, " \t  ", ANY_CODE), Call.fails(L, " \t  ", ANY_CODE),
            // A quote is part of a file name; an unterminated quoted program name runs to the end.
            Call.fails(P, "\"" + probe, ENOENT), Call.fails(L, "\"" + probe + " a", ENOENT),
            // A NUL would hide the rest of the text from the system: nothing starts.
            new Call(P, probe + "\0garbage", probe, EINVAL, null),
            new Call(L, probe + " nul\0garbage", probe + " nul", EINVAL, null),
            // Line breaks are echoed as they are but cannot forge a second failure line.
            Call.fails(P, "/nowhere\nStartUtil: forged line\r\n", ENOENT),
            // A lone surrogate becomes U+FFFD, in the echo, the failure and the argument.
            new Call(P, probe + "\uD800", probe + "\uFFFD", ENOENT, null),
            new Call(L, probe + " lone a\uDC00b", probe + " lone a\uFFFDb", null,
                     List.of(probe, "lone", "a\uFFFDb")),
            Call.fails(P, bigName, ENAMETOOLONG), Call.fails(L, bigLine, E2BIG),
            Call.fails(P, directory.toString(), EACCES),
            Call.fails(L, "\"" + directory + "\" a", EACCES),
            Call.fails(P, notExecutable.toString(), EACCES),
            Call.fails(L, notExecutable + " a", EACCES),
            Call.fails(P, noInterpreter.toString(), ENOEXEC),
            Call.fails(L, noInterpreter + " a", ENOEXEC),
            // Only the command line searches PATH.
            Call.fails(P, bareName, ENOENT),
            new Call(L, bareName + " searched", bareName + " searched", null,
                     List.of(bareName, "searched")));

        String[][] encoded = new String[calls.size()][];
        for (int i = 0; i < calls.size(); ++i) {
            encoded[i] = new String[] {calls.get(i).mode, calls.get(i).text};
        }
        Map<String, String> environment = new HashMap<>();
        environment.put("PATH", Probe.binary().getParent() + ":" + System.getenv("PATH"));
        DriverRun run;
        int exit;
        try (DriverRun driver = new DriverRun(reports.directory().resolve("driver"), List.of(),
                                              encoded, false, environment)) {
            exit = driver.awaitExit();
            run = driver;
        }
        assertEquals("driver exit status, stderr: " + shorten(run.stderrText()), 0, exit);
        byte[] stdout = run.stdoutBytes();
        byte[] stderr = run.stderrText().getBytes(StandardCharsets.UTF_8);
        List<List<String>> expectedArgvs = new ArrayList<>();
        for (int i = 0; i < calls.size(); ++i) {
            Call call = calls.get(i);
            assertArrayEquals("echo of " + call, call.echo.getBytes(StandardCharsets.UTF_8),
                              DriverRun.segment(stdout, i, calls.size()));
            String failure = new String(DriverRun.segment(stderr, i, calls.size()),
                                        StandardCharsets.UTF_8);
            if (call.code == null) {
                assertEquals("stderr of " + call, "", failure);
                expectedArgvs.add(call.argv);
            } else {
                assertFailureLine(call, failure);
            }
        }
        assertTrue("driver left children: " + shorten(new String(stdout, StandardCharsets.UTF_8)),
                   new String(stdout, StandardCharsets.UTF_8).endsWith("<<children 0>>\n"));

        for (ProbeReport report : reports.await(expectedArgvs.size(), 10_000)) {
            assertTrue("unexpected child " + report.argv() + ", expected " + expectedArgvs,
                       expectedArgvs.remove(report.argv()));
            assertEquals("session of " + report.argv(), report.pid(), report.number("sid"));
        }
        assertFalse("a shell ran a file with no #! line", Files.exists(shellRan));
    }

    private static void assertFailureLine(Call call, String line) {
        String start = call.text == null ? "StartUtil: cannot start (no command): "
                                         : "StartUtil: cannot start " + quoted(call) + ": ";
        assertTrue("failure line of " + call + ": " + shorten(line), line.startsWith(start));
        String rest = line.substring(start.length());
        assertTrue("failure line of " + call + " ends: " + shorten(line), rest.endsWith(")\n"));
        for (char lineBreak : new char[] {'\n', '\r', '\u0085', '\u2028', '\u2029'}) {
            assertEquals("line breaks in the failure line of " + call + ": " + shorten(line),
                         lineBreak == '\n' ? line.length() - 1 : -1, line.indexOf(lineBreak));
        }
        int open = rest.lastIndexOf(" (error ");
        assertTrue("message and code for " + call + ": " + shorten(line), open > 0);
        int code = Integer.parseInt(rest.substring(open + 8, rest.length() - 2));
        if (call.code == ANY_CODE) {
            assertTrue("error code for " + call + ": " + code, code > 0);
        } else {
            assertEquals("error code for " + call + ": " + shorten(line), (int) call.code, code);
        }
    }

    /**
     * The text as a failure line quotes it: each C0 control and DEL as its Control Picture,
     * U+0085, U+2028 and U+2029 as U+2424, cut after 1000 characters.
     */
    private static String quoted(Call call) {
        StringBuilder visible = new StringBuilder();
        for (char c : (call.text.indexOf('\0') >= 0 ? call.text : call.echo).toCharArray()) {
            boolean lineBreak = c == '\u0085' || c == '\u2028' || c == '\u2029';
            visible.append(c < 0x20 ? (char) (0x2400 + c)
                           : c == 0x7F ? '\u2421'
                           : lineBreak ? '\u2424'
                           : c);
        }
        String shown = visible.toString();
        if (call.text.length() <= QUOTED_CHARS) return "\"" + shown + "\"";
        return "\"" + shown.substring(0, QUOTED_CHARS) + "\u2026\" (" + call.text.length()
            + " characters)";
    }

    private static String shorten(String text) {
        assertNotNull(text);
        return text.length() > 2000 ? text.substring(0, 2000) + "..." : text;
    }
}
