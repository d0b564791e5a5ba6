package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotEquals;
import static org.junit.Assert.assertNotNull;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.FileTime;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.jar.JarFile;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * The dist jar on its own: JVMs with nothing but the jar (and {@link JarDriver}) on the class
 * path and no java.library.path find, load and clean up the jar's own copy of the library.
 */
public class JarLoadingTest {
    private static final long JVM_TIMEOUT_S = 30;
    private static final String PROPERTY = "startutil.tmpdir";

    private final List<Jvm> jvms = new ArrayList<>();
    private ProbeReports reports;
    private Path extraction;

    @Before
    public void emptyDirectories() throws IOException {
        reports = ProbeReports.ofThisJvm();
        extraction = Files.createDirectory(reports.directory().resolve("extraction"));
    }

    @After
    public void endEveryJvmAndProbe() throws Exception {
        for (Jvm jvm : jvms) {
            jvm.process.destroyForcibly();
            assertTrue("JVM survived SIGKILL", jvm.process.waitFor(10, TimeUnit.SECONDS));
        }
        reports.endLingering();
    }

    @Test
    public void jarCarriesBothLibrariesAndItsModuleName() throws IOException {
        try (JarFile jar = new JarFile(distJar().toFile())) {
            for (String library : new String[] {"linux-x86_64/libStartUtil.so",
                                                "windows-x86_64/StartUtil.dll"}) {
                assertNotNull(library, jar.getEntry(library));
                assertTrue(library, jar.getEntry(library).getSize() > 1000);
            }
            assertEquals("velquon.zy.drav.sdk.util",
                         jar.getManifest().getMainAttributes().getValue("Automatic-Module-Name"));
        }
    }

    @Test
    public void jarAloneLoadsAnOwnerOnlyCopyDeletesItAndLaunches() throws Exception {
        Path recent = Files.createFile(extraction.resolve("StartUtil-1.so"));
        Path stale = Files.createFile(extraction.resolve("StartUtil-2.so"));
        Files.setLastModifiedTime(stale, FileTime.from(Instant.now().minus(Duration.ofHours(1))));
        Path unrelated = Files.createFile(extraction.resolve("notes.txt"));

        Jvm jvm = new Jvm("alone", extraction);
        assertEquals(jvm.stderr(), 0, jvm.exitCode());
        Matcher mapped = mappedCopy().matcher(jvm.stdout());
        assertTrue("one private copy mapped, already deleted: " + jvm.stdout(), mapped.find());
        assertFalse("more than one copy mapped: " + jvm.stdout(), mapped.find());
        assertEquals(List.of(Probe.path(), "alone"), reports.await(1, 10_000).get(0).argv());
        // Another JVM's fresh copy stays; one that is an hour old is an earlier run's leftover.
        assertEquals(Set.of(recent, unrelated), listing());
    }

    @Test
    public void fourJvmsStartedTogetherEachLoadACopyOfTheirOwn() throws Exception {
        List<Jvm> together = new ArrayList<>();
        for (int i = 0; i < 4; ++i) together.add(new Jvm("jvm" + i, extraction));
        Set<String> copies = new HashSet<>();
        for (Jvm jvm : together) {
            assertEquals(jvm.stderr(), 0, jvm.exitCode());
            Matcher mapped = mappedCopy().matcher(jvm.stdout());
            assertTrue(jvm.stdout(), mapped.find());
            assertTrue("two JVMs loaded one file " + mapped.group(), copies.add(mapped.group()));
        }
        Set<List<String>> argvs = new HashSet<>();
        for (ProbeReport report : reports.await(4, 10_000)) argvs.add(report.argv());
        for (int i = 0; i < 4; ++i) assertTrue(argvs.toString(), argvs.contains(List.of(Probe.path(), "jvm" + i)));
        assertEquals(Set.of(), listing());
    }

    @Test
    public void unusableDirectoryFailsNamingEveryWayTried() throws Exception {
        Path missing = extraction.resolve("missing");
        Jvm jvm = new Jvm("missing", missing);
        assertNotEquals(0, jvm.exitCode());
        String error = jvm.stderr();
        for (String part : new String[] {
                 "UnsatisfiedLinkError", System.getProperty("os.name") + " (" + System.getProperty("os.arch") + ")",
                 "System.loadLibrary(\"StartUtil\"): no StartUtil in java.library.path",
                 "linux-x86_64/libStartUtil.so", missing.toString(), "-D" + PROPERTY + "="}) {
            assertTrue("'" + part + "' missing from: " + error, error.contains(part));
        }
        assertEquals(Set.of(), listing());
    }

    @Test
    public void noexecDirectoryIsNamedAsSuchWithTheProperty() throws Exception {
        // A tmpfs mounted noexec over the directory, in a mount namespace of the JVM's own.
        Jvm jvm = new Jvm("noexec", extraction, "unshare", "--mount", "sh", "-c",
                          "mount -t tmpfs -o noexec,size=16m startutil-noexec \"$0\" && exec \"$@\"",
                          extraction.toString());
        assertNotEquals(0, jvm.exitCode());
        assertTrue(jvm.stderr(), jvm.stderr().contains(
            extraction + " seems to be mounted noexec: set -D" + PROPERTY + "="));
        String mounts = Files.readString(Paths.get("/proc/self/mountinfo"));
        assertFalse("the mount leaked out: " + mounts, mounts.contains(extraction.toString()));
        assertEquals(Set.of(), listing());
    }

    /** A JVM with the dist jar and the driver on its class path, its output in files. */
    private final class Jvm {
        final Process process;
        final Path out;
        final Path err;

        Jvm(String tag, Path directory, String... prefix) throws IOException {
            out = reports.directory().resolve(tag + ".out");
            err = reports.directory().resolve(tag + ".err");
            List<String> command = new ArrayList<>(List.of(prefix));
            command.addAll(List.of(
                Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                "-D" + PROPERTY + "=" + directory, "-cp", distJar() + File.pathSeparator + driverJar(),
                JarDriver.class.getName(), Probe.path() + " " + tag));
            process = new ProcessBuilder(command).redirectOutput(out.toFile())
                          .redirectError(err.toFile()).start();
            jvms.add(this);
        }

        int exitCode() throws IOException, InterruptedException {
            if (!process.waitFor(JVM_TIMEOUT_S, TimeUnit.SECONDS)) {
                fail("JVM still running after " + JVM_TIMEOUT_S + " s: " + stderr());
            }
            return process.exitValue();
        }

        String stdout() throws IOException {
            return Files.readString(out, StandardCharsets.UTF_8);
        }

        String stderr() throws IOException {
            return Files.readString(err, StandardCharsets.UTF_8);
        }
    }

    private Pattern mappedCopy() {
        return Pattern.compile("mapped rwx------ " + Pattern.quote(extraction + "/StartUtil-")
                               + "[0-9]+\\.so \\(deleted\\)");
    }

    private Set<Path> listing() throws IOException {
        try (Stream<Path> files = Files.list(extraction)) {
            return files.collect(Collectors.toSet());
        }
    }

    private static Path distJar() {
        String jar = System.getProperty("startutil.jar");
        if (jar == null) throw new AssertionError("-Dstartutil.jar=<the dist jar> is not set");
        return Paths.get(jar);
    }

    private static Path driverJar() {
        try {
            return Paths.get(JarDriver.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        } catch (java.net.URISyntaxException e) {
            throw new AssertionError(e);
        }
    }
}
