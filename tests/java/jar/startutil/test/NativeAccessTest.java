package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertTrue;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * The dist jar on a JDK that restricts native access (run on the machine's newest JDK): the
 * right option for where the jar lives silences the JVM, none gives its warnings, and under
 * --illegal-native-access=deny a missing option is the UnsatisfiedLinkError that names it.
 */
public class NativeAccessTest {
    private static final String MODULE = "velquon.zy.drav.sdk.util";
    private static final String CLASS_PATH_OPTION = "--enable-native-access=ALL-UNNAMED";
    private static final String MODULE_OPTION = "--enable-native-access=" + MODULE;
    private static final String DENY = "--illegal-native-access=deny";
    private static final String WARNING =
        "WARNING: A restricted method in java.lang.System has been called";

    private ProbeReports reports;
    private int attempts;
    private int runs;

    @Before
    public void emptyReportDirectory() throws IOException {
        assertTrue("run on a JDK that restricts native access, not " + Runtime.version(),
                   Runtime.version().feature() >= 24);
        reports = ProbeReports.ofThisJvm();
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
    }

    @Test
    public void rightOptionIsSilentOnTheClassPathAndTheModulePath() throws Exception {
        assertLaunchedSilently(classPath(CLASS_PATH_OPTION));
        assertLaunchedSilently(modulePath(MODULE_OPTION));
    }

    @Test
    public void withoutTheRightOptionTheJvmWarnsNamingIt() throws Exception {
        assertWarns(classPath(), "ALL-UNNAMED");
        assertWarns(modulePath(), MODULE);
        // The class path's option does not reach a named module.
        assertWarns(modulePath(CLASS_PATH_OPTION), MODULE);
    }

    @Test
    public void deniedWithoutTheOptionIsAnUnsatisfiedLinkErrorNamingIt() throws Exception {
        assertRefused(classPath(DENY), CLASS_PATH_OPTION);
        assertRefused(modulePath(DENY, CLASS_PATH_OPTION), MODULE_OPTION);
    }

    @Test
    public void deniedWithoutTheOptionEveryUseFailsNamingIt() throws Exception {
        String unavailable = "-Dstartutil.driver.unavailable=true";
        Result result = run(classPath(DENY, unavailable), "unavailable" + attempts);
        assertEquals(result.err, 0, result.status);
        JarLoadingTest.assertEveryUseFails(result.out, CLASS_PATH_OPTION);
        result = run(modulePath(DENY, CLASS_PATH_OPTION, unavailable), "unavailable" + attempts);
        assertEquals(result.err, 0, result.status);
        JarLoadingTest.assertEveryUseFails(result.out, MODULE_OPTION);
    }

    @Test
    public void deniedWithTheOptionLaunches() throws Exception {
        assertLaunchedSilently(classPath(DENY, CLASS_PATH_OPTION));
        assertLaunchedSilently(modulePath(DENY, MODULE_OPTION));
    }

    @Test
    public void executableJarGrantsItselfByItsManifest() throws Exception {
        Path app = reports.directory().resolve("app.jar");
        Manifest manifest = new Manifest();
        Attributes main = manifest.getMainAttributes();
        main.put(Attributes.Name.MANIFEST_VERSION, "1.0");
        main.put(Attributes.Name.MAIN_CLASS, JarDriver.class.getName());
        main.put(Attributes.Name.CLASS_PATH, Paths.get(Consumers.property("startutil.jar")).toUri()
                                                 + " " + driver().toUri());
        main.putValue("Enable-Native-Access", "ALL-UNNAMED");
        try (OutputStream out = Files.newOutputStream(app);
             JarOutputStream jar = new JarOutputStream(out, manifest)) {
            // The manifest is all it holds: the program comes through its Class-Path.
        }
        assertLaunchedSilently(java(DENY, "-jar", app.toString()));
    }

    /** The driver on the class path beside the dist jar; options go to the JVM. */
    private static List<String> classPath(String... options) {
        List<String> command = java(options);
        command.addAll(List.of("-cp", Consumers.property("startutil.jar") + ":" + driver(),
                               JarDriver.class.getName()));
        return command;
    }

    /** The dist jar as a named module, read by the driver on the class path. */
    private static List<String> modulePath(String... options) {
        List<String> command = java(options);
        command.addAll(List.of("--module-path", Consumers.property("startutil.jar"),
                               "--add-modules", MODULE, "-cp", driver().toString(),
                               JarDriver.class.getName()));
        return command;
    }

    private static List<String> java(String... arguments) {
        List<String> command = new ArrayList<>();
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.addAll(List.of(arguments));
        return command;
    }

    private static Path driver() {
        return Paths.get(Consumers.property("startutil.driver"));
    }

    private void assertLaunchedSilently(List<String> command) throws Exception {
        String tag = "silent" + attempts;
        Result result = run(command, tag);
        assertEquals(command + " wrote to standard error", "", result.err);
        assertEquals(command + ": " + result.out, 0, result.status);
        List<String> argv = List.of(Probe.path(), tag);
        assertTrue(tag + " not launched", reports.await(runs, 10_000).stream().anyMatch(
                                              report -> report.argv().equals(argv)));
    }

    private void assertWarns(List<String> command, String grantee) throws Exception {
        Result result = run(command, "warned" + attempts);
        assertEquals(command + ": " + result.err, 0, result.status);
        assertTrue(command + " did not warn: " + result.err, result.err.startsWith(WARNING));
        assertTrue(result.err, result.err.contains(
                                   "Use --enable-native-access=" + grantee + " to avoid"));
        reports.await(runs, 10_000);
    }

    private void assertRefused(List<String> command, String option) throws Exception {
        Result result = run(command, "refused" + attempts);
        assertEquals(command + ": " + result.err, 1, result.status);
        assertTrue(result.err, result.err.startsWith(
                                   "Exception in thread \"main\" java.lang.UnsatisfiedLinkError: "
                                   + "StartUtil: the JVM refused native access"));
        assertTrue("'" + option + "' not named: " + result.err,
                   result.err.contains("start the JVM with " + option));
        assertFalse(result.err, result.err.contains("ExceptionInInitializerError"));
    }

    private static final class Result {
        int status;
        String out;
        String err;
    }

    /** Runs one JVM that launches the probe with this tag; counts those that should have. */
    private Result run(List<String> command, String tag) throws Exception {
        ++attempts;
        List<String> full = new ArrayList<>(command);
        full.add(Probe.path() + " " + tag);
        Path out = reports.directory().resolve(tag + ".out");
        Path err = reports.directory().resolve(tag + ".err");
        Process jvm = new ProcessBuilder(full).redirectOutput(out.toFile())
                          .redirectError(err.toFile()).start();
        if (!jvm.waitFor(Deadlines.scaled(30_000), TimeUnit.MILLISECONDS)) {
            jvm.destroyForcibly();
            jvm.waitFor();
            throw new AssertionError(full + " still running after 30 s");
        }
        Result result = new Result();
        result.status = jvm.exitValue();
        result.out = Files.readString(out);
        result.err = Files.readString(err);
        if (result.status == 0) ++runs;
        return result;
    }
}
