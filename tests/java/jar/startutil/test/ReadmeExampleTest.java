package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNotEquals;
import static org.junit.Assert.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.spi.ToolProvider;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * The program in the README's "Use it" section, taken from the README itself, compiled against
 * the dist jar and run as the README says: it starts a detached child, silently, prints the pid of
 * the process that runs it, and falls back to ProcessBuilder on a system the jar has no library
 * for.
 */
public class ReadmeExampleTest {
    private ProbeReports reports;
    private Path classes;

    @Before
    public void compileTheExample() throws IOException {
        reports = ProbeReports.ofThisJvm();
        String readme = Files.readString(Paths.get(Consumers.property("startutil.readme")));
        String section = readme.substring(readme.indexOf("\n## Use it\n"));
        Matcher example = Pattern.compile("```java\n(.*?)```", Pattern.DOTALL).matcher(section);
        assertTrue("no Java example in the README's Use it section", example.find());
        Path source = reports.directory().resolve("Start.java");
        Files.writeString(source, example.group(1));
        classes = reports.directory().resolve("classes");
        ByteArrayOutputStream diagnostics = new ByteArrayOutputStream();
        PrintStream sink = new PrintStream(diagnostics, true, "UTF-8");
        int status = ToolProvider.findFirst("javac").orElseThrow().run(
            sink, sink, "--release", "11", "-Xlint:all", "-Werror", "-cp",
            Consumers.property("startutil.jar"), "-d", classes.toString(), source.toString());
        assertEquals("javac: " + diagnostics.toString("UTF-8"), 0, status);
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
    }

    @Test
    public void exampleStartsADetachedChildAndPrintsItsPidWithNothingElse() throws Exception {
        long pid = run(List.of(), "readme", "with space");
        ProbeReport report = reports.await(1, 10_000).get(0);
        assertEquals(report.toString(), List.of(Probe.path(), "readme", "with space"),
                     report.argv());
        DetachedChildContract.assertDetachedFrom(report, pid);
        assertEquals("the program's pid, and no echo", "started " + report.pid() + "\n",
                     output("readme"));
    }

    @Test
    public void exampleFallsBackWhereTheJarHasNoLibrary() throws Exception {
        run(List.of("-Dos.arch=loongarch64"), "fallback");
        ProbeReport report = reports.await(1, 10_000).get(0);
        assertEquals(List.of(Probe.path(), "fallback"), report.argv());
        // ProcessBuilder's child stays in the JVM's session; the library's leads its own.
        assertNotEquals("started by the library: " + report, report.pid(), report.number("sid"));
        assertEquals("started " + report.pid() + "\n", output("fallback"));
    }

    /**
     * Runs the example as the README does, with these JVM options, starting the probe with this
     * tag and these further arguments; the JVM's pid.
     */
    private long run(List<String> options, String tag, String... arguments) throws Exception {
        List<String> command = new ArrayList<>(List.of(
            Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
            "--enable-native-access=ALL-UNNAMED"));
        command.addAll(options);
        command.addAll(List.of("-cp", Consumers.property("startutil.jar") + ":" + classes, "Start",
                               Probe.path(), tag));
        command.addAll(List.of(arguments));
        Path err = reports.directory().resolve(tag + ".err");
        Process jvm = new ProcessBuilder(command)
                          .redirectOutput(reports.directory().resolve(tag + ".out").toFile())
                          .redirectError(err.toFile()).start();
        boolean ended = jvm.waitFor(Deadlines.scaled(30_000), TimeUnit.MILLISECONDS);
        if (!ended) {
            jvm.destroyForcibly();
            jvm.waitFor();
        }
        assertTrue(command + " still running after 30 s", ended);
        assertEquals(command + " wrote to standard error", "", Files.readString(err));
        assertEquals(command.toString(), 0, jvm.exitValue());
        return jvm.pid();
    }

    private String output(String tag) throws IOException {
        return Files.readString(reports.directory().resolve(tag + ".out"));
    }
}
