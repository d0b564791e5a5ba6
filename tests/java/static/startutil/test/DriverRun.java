package startutil.test;

import java.io.IOException;
import java.io.ObjectOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.TimeUnit;

/** One run of {@link LaunchDriver} in a child JVM, its output captured in files. */
public final class DriverRun implements AutoCloseable {
    static final String PATH = "path";
    static final String LINE = "line";
    /** {@code DetachedProcess.start} with the text split at its spaces. */
    static final String DETACHED_ARGS = "detached-args";
    /** {@code DetachedProcess.startCommandLine} with the text. */
    static final String DETACHED_LINE = "detached-line";

    private final Process process;
    private final Path stdout;
    private final Path stderr;
    private final Path outcomes;

    static String marker(String text) {
        return "<<" + text + ">>\n";
    }

    /**
     * Starts the driver under the given command prefix (setsid, nohup or none) with the given
     * environment additions; the probes it starts report into {@code reports}.
     */
    public DriverRun(Path work, List<String> prefix, String[][] calls, boolean stay,
                     Map<String, String> environment) throws IOException {
        this(work, prefix, List.of(), calls, stay, environment);
    }

    /** The same, with options for the driver's JVM such as {@code -Xcheck:jni}. */
    public DriverRun(Path work, List<String> prefix, List<String> jvmOptions, String[][] calls,
                     boolean stay, Map<String, String> environment) throws IOException {
        Files.createDirectories(work);
        Path callFile = work.resolve("calls.bin");
        try (ObjectOutputStream out = new ObjectOutputStream(Files.newOutputStream(callFile))) {
            out.writeObject(calls);
        }
        stdout = work.resolve("stdout");
        stderr = work.resolve("stderr");
        outcomes = LaunchDriver.outcomeFile(callFile);
        List<String> command = new ArrayList<>(prefix);
        command.addAll(Arrays.asList(
            Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
            "-Djava.library.path=" + System.getProperty("java.library.path"),
            "-Dstartutil.probe=" + Probe.path(), "-Dstartutil.timeScale=" + Deadlines.SCALE));
        command.addAll(jvmOptions);
        command.addAll(Arrays.asList("-cp", System.getProperty("java.class.path"),
            LaunchDriver.class.getName(), callFile.toString()));
        if (stay) command.add("stay");
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.environment().putAll(environment);
        builder.redirectOutput(stdout.toFile()).redirectError(stderr.toFile());
        process = builder.start();
    }

    /**
     * Runs the calls in a driver under {@code -Xcheck:jni} to its end, which must be exit status
     * 0 with no JNI warning on either stream; the finished run.
     */
    public static DriverRun runUnderJniChecks(Path work, String[][] calls) throws Exception {
        DriverRun run;
        int exit;
        try (DriverRun driver =
                 new DriverRun(work, List.of(), List.of("-Xcheck:jni"), calls, false, Map.of())) {
            exit = driver.awaitExit();
            run = driver;
        }
        if (exit != 0) {
            throw new AssertionError("driver exit status " + exit + ", stderr: " + run.stderrText());
        }
        run.assertNoJniWarning();
        return run;
    }

    public Process process() {
        return process;
    }

    public int awaitExit() throws InterruptedException {
        if (!process.waitFor(Deadlines.scaled(30_000), TimeUnit.MILLISECONDS)) {
            process.destroyForcibly();
            throw new AssertionError("the driver JVM did not finish in time: " + stderrText());
        }
        return process.exitValue();
    }

    /** Polls the captured stdout until the marker shows up. */
    public boolean awaitMarker(String text, long timeoutMillis) {
        byte[] marker = marker(text).getBytes(StandardCharsets.UTF_8);
        return Deadlines.poll(() -> indexOf(read(stdout), marker, 0) >= 0, timeoutMillis);
    }

    /** What each DetachedProcess call returned or threw, by the call's index. */
    public Map<Integer, String> outcomes() throws IOException {
        Map<Integer, String> byCall = new TreeMap<>();
        for (String line : Files.readAllLines(outcomes, StandardCharsets.UTF_8)) {
            int space = line.indexOf(' ');
            byCall.put(Integer.parseInt(line.substring(0, space)), line.substring(space + 1));
        }
        return byCall;
    }

    /** What -Xcheck:jni prints about a library's misuse of JNI, on either stream: none of it. */
    public void assertNoJniWarning() {
        for (String output : new String[] {new String(stdoutBytes(), StandardCharsets.UTF_8),
                                           stderrText()}) {
            for (String warning : new String[] {"WARNING", "FATAL ERROR in native method"}) {
                if (output.contains(warning)) throw new AssertionError("JNI checks: " + output);
            }
        }
    }

    public byte[] stdoutBytes() {
        return read(stdout);
    }

    public String stderrText() {
        return new String(read(stderr), StandardCharsets.UTF_8);
    }

    /** The bytes written between the marker for call {@code i} and the next marker. */
    public static byte[] segment(byte[] output, int i, int count) {
        byte[] start = marker(Integer.toString(i)).getBytes(StandardCharsets.UTF_8);
        byte[] end = marker(i + 1 < count ? Integer.toString(i + 1) : "end")
                         .getBytes(StandardCharsets.UTF_8);
        int from = indexOf(output, start, 0);
        if (from < 0) throw new AssertionError("no marker for call " + i);
        from += start.length;
        int to = indexOf(output, end, from);
        if (to < 0) throw new AssertionError("no marker after call " + i);
        return Arrays.copyOfRange(output, from, to);
    }

    static int indexOf(byte[] haystack, byte[] needle, int from) {
        outer:
        for (int i = from; i + needle.length <= haystack.length; ++i) {
            for (int j = 0; j < needle.length; ++j) {
                if (haystack[i + j] != needle[j]) continue outer;
            }
            return i;
        }
        return -1;
    }

    private static byte[] read(Path file) {
        try {
            return Files.readAllBytes(file);
        } catch (IOException e) {
            return new byte[0];
        }
    }

    @Override
    public void close() {
        process.destroyForcibly();
        try {
            process.waitFor(10, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
