package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Programs built against the dist jar the way its users build them (tests/java/maven,
 * tests/java/modular), each run in a JVM of its own that starts the probe.
 */
final class Consumers {
    private Consumers() {}

    static String property(String name) {
        String value = System.getProperty(name);
        if (value == null) throw new AssertionError("-D" + name + " is not set");
        return value;
    }

    static Path sources(String folder) {
        return Paths.get(property("startutil.consumers"), folder);
    }

    /**
     * Runs a command to its end within the deadline, its output and errors into log; fails on
     * any exit status but 0. Whatever it started is killed when the deadline passes.
     */
    static String run(List<String> command, Map<String, String> environment, Path directory,
                      Path log, long timeoutMillis) throws IOException, InterruptedException {
        ProcessBuilder builder = new ProcessBuilder(command).directory(directory.toFile())
                                     .redirectErrorStream(true).redirectOutput(log.toFile());
        builder.environment().putAll(environment);
        Process process = builder.start();
        boolean ended = process.waitFor(Deadlines.scaled(timeoutMillis), TimeUnit.MILLISECONDS);
        if (!ended) {
            process.descendants().forEach(ProcessHandle::destroyForcibly);
            process.destroyForcibly();
            process.waitFor();
        }
        String output = Files.readString(log);
        assertTrue(command + " still running after " + timeoutMillis + " ms: " + output, ended);
        assertEquals("exit status of " + command + ": " + output, 0, process.exitValue());
        return output;
    }

    /**
     * The consumer's program saw the library in the module expected and started the probe with
     * this tag, detached from the consumer's JVM.
     */
    static void assertStartedDetached(String output, String module, String tag,
                                      ProbeReports reports) throws IOException {
        // Maven wraps what it passes on in colour resets, even in batch mode.
        Matcher pid = Pattern.compile("pid ([0-9]+)\n").matcher(output);
        assertTrue("the program printed no pid: " + output, pid.find());
        assertTrue("not in module " + module + ": " + output,
                   output.contains("\nmodule " + module + "\n"));
        ProbeReport report = reports.await(1, 10_000).get(0);
        assertEquals(report.toString(), List.of(Probe.path(), tag), report.argv());
        DetachedChildContract.assertDetachedFrom(report, Long.parseLong(pid.group(1)));
    }
}
