package startutil.test;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertNotEquals;
import static org.junit.Assert.assertTrue;
import static org.junit.Assume.assumeTrue;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.lang.module.ModuleDescriptor;
import java.lang.module.ModuleFinder;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.FileTime;
import java.time.Instant;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.jar.JarEntry;
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
    private final Map<String, Process> jvms = new HashMap<>();
    /** Further options for the JVMs that start() starts. */
    private List<String> options = List.of();
    private ProbeReports reports;
    private Path extraction;

    @Before
    public void emptyDirectories() throws IOException {
        reports = ProbeReports.ofThisJvm();
        extraction = Files.createDirectory(reports.directory().resolve("extraction"));
    }

    @After
    public void endEveryJvmAndProbe() throws Exception {
        for (Process jvm : jvms.values()) {
            jvm.destroyForcibly();
            assertTrue("JVM survived SIGKILL", jvm.waitFor(10, TimeUnit.SECONDS));
        }
        reports.endLingering();
    }

    /** Every library the jar carries, with the machine its header names (builtFor's words). */
    private static final Map<String, String> LIBRARIES = Map.of(
        "linux-x86_64/libStartUtil.so", "ELF 64-bit LSB machine 62",
        "linux-aarch64/libStartUtil.so", "ELF 64-bit LSB machine 183",
        "linux-ppc64le/libStartUtil.so", "ELF 64-bit LSB machine 21",
        "linux-s390x/libStartUtil.so", "ELF 64-bit MSB machine 22",
        "linux-riscv64/libStartUtil.so", "ELF 64-bit LSB machine 243",
        "linux-arm/libStartUtil.so", "ELF 32-bit LSB machine 40",
        "linux-x86/libStartUtil.so", "ELF 32-bit LSB machine 3",
        "windows-x86_64/StartUtil.dll", "PE machine 0x8664",
        "windows-aarch64/StartUtil.dll", "PE machine 0xaa64");

    // Nine presets fill nine folders: one library in another's folder loads nowhere.
    @Test
    public void jarCarriesEveryLibraryInItsMachinesFolderAndANamedModule() throws IOException {
        try (JarFile jar = new JarFile(distJar())) {
            Set<String> packed = jar.stream().map(JarEntry::getName)
                                     .filter(name -> name.matches("[^/]+/[^/]+\\.(so|dll)"))
                                     .collect(Collectors.toSet());
            assertEquals(LIBRARIES.keySet(), packed);
            for (Map.Entry<String, String> library : LIBRARIES.entrySet()) {
                try (InputStream in = jar.getInputStream(jar.getEntry(library.getKey()))) {
                    assertEquals(library.getKey(), library.getValue(), builtFor(in.readAllBytes()));
                }
            }
            assertEquals(null,
                         jar.getManifest().getMainAttributes().getValue("Automatic-Module-Name"));
        }
        ModuleDescriptor module = ModuleFinder.of(distJar().toPath())
                                      .find("velquon.zy.drav.sdk.util")
                                      .orElseThrow(() -> new AssertionError("no module"))
                                      .descriptor();
        assertFalse("automatic module", module.isAutomatic());
        assertEquals(Set.of("velquon.zy.drav.sdk.util"), module.packages());
        assertEquals("exported to all", Set.of("velquon.zy.drav.sdk.util"),
                     module.exports().stream().filter(e -> !e.isQualified())
                         .map(ModuleDescriptor.Exports::source).collect(Collectors.toSet()));
    }

    /** The class, byte order and machine in an ELF header, or the machine in a PE header. */
    private static String builtFor(byte[] file) {
        ByteBuffer header = ByteBuffer.wrap(file);
        if (header.getInt(0) == 0x7f454c46) {
            boolean big = file[5] == 2;
            header.order(big ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
            return "ELF " + (file[4] == 2 ? "64" : "32") + "-bit " + (big ? "MSB" : "LSB")
                + " machine " + Short.toUnsignedInt(header.getShort(18));
        }
        header.order(ByteOrder.LITTLE_ENDIAN);
        int pe = header.getInt(0x3c);
        if (header.getShort(0) != 0x5a4d || header.getInt(pe) != 0x4550) {
            return "neither ELF nor PE";
        }
        return "PE machine 0x" + Integer.toHexString(Short.toUnsignedInt(header.getShort(pe + 4)));
    }

    @Test
    public void jarAloneLoadsAnOwnerOnlyCopyDeletesItAndLaunches() throws Exception {
        Path recent = Files.createFile(extraction.resolve("StartUtil-1.so"));
        Path stale = Files.createFile(extraction.resolve("StartUtil-2.so"));
        Files.setLastModifiedTime(stale, FileTime.from(Instant.now().minusSeconds(3600)));
        Path unrelated = Files.createFile(extraction.resolve("notes.txt"));

        String out = run("alone", extraction, 0);
        Matcher mapped = mappedCopy().matcher(out);
        assertTrue("one private copy mapped, already deleted: " + out, mapped.find());
        assertFalse("more than one copy mapped: " + out, mapped.find());
        assertEquals(List.of(Probe.path(), "alone"), reports.await(1, 10_000).get(0).argv());
        // Another JVM's fresh copy stays; one that is an hour old is an earlier run's leftover.
        assertEquals(Set.of(recent, unrelated), listing());
    }

    @Test
    public void fourJvmsStartedTogetherEachLoadACopyOfTheirOwn() throws Exception {
        List<String> tags = List.of("jvm0", "jvm1", "jvm2", "jvm3");
        for (String tag : tags) start(tag, extraction);
        Set<String> copies = new HashSet<>();
        for (String tag : tags) {
            Matcher mapped = mappedCopy().matcher(finish(tag, 0));
            assertTrue(tag, mapped.find());
            assertTrue("two JVMs loaded one file " + mapped.group(), copies.add(mapped.group()));
        }
        Set<String> launched = reports.await(4, 10_000).stream()
                                   .map(r -> r.argv().get(1)).collect(Collectors.toSet());
        assertEquals(Set.copyOf(tags), launched);
        assertEquals(Set.of(), listing());
    }

    @Test
    public void unusableDirectoryFailsNamingEveryWayTried() throws Exception {
        Path missing = extraction.resolve("missing");
        String error = run("missing", missing, 1);
        String system = System.getProperty("os.name") + " (" + System.getProperty("os.arch") + ")";
        for (String part : List.of(
                 "UnsatisfiedLinkError", system,
                 "the jar's own copy: cannot copy ",
                 "linux-x86_64/libStartUtil.so into " + missing, "-Dstartutil.tmpdir=")) {
            assertTrue("'" + part + "' missing from: " + error, error.contains(part));
        }
    }

    @Test
    public void foreignLibraryOnJavaLibraryPathIsNotLoadedAndLocationsNameTheirSource()
        throws Exception {
        // A loadable library of that name with none of the entry points: loaded, it breaks calls.
        Path foreign = Files.createDirectory(reports.directory().resolve("foreign"));
        Files.copy(Paths.get(System.getProperty("java.home"), "lib", "libsyslookup.so"),
                   foreign.resolve("libStartUtil.so"));
        options = List.of("-Djava.library.path=" + foreign);
        String out = run("foreign", extraction, 0);
        Pattern jarEntry = Pattern.compile(
            "^location=" + Pattern.quote("jar:" + distJar().toURI() + "!/")
                + "linux-[a-z0-9_]+/libStartUtil\\.so$", Pattern.MULTILINE);
        assertTrue("location is not the jar's entry: " + out, jarEntry.matcher(out).find());

        Path named = Paths.get(System.getProperty("java.library.path"), "libStartUtil.so");
        options = List.of("-Djava.library.path=" + foreign, "-Dstartutil.library=" + named);
        out = run("named", extraction, 0);
        assertTrue("location is not the named file: " + out,
                   out.contains("\nlocation=" + named + "\n"));
        assertEquals(Set.of("foreign", "named"), reports.await(2, 10_000).stream()
                                                     .map(r -> r.argv().get(1))
                                                     .collect(Collectors.toSet()));
    }

    @Test
    public void onASystemTheJarHasNoLibraryForEveryUseFailsNamingIt() throws Exception {
        options = List.of("-Dos.arch=loongarch64", "-Dstartutil.driver.unavailable=true");
        assertEveryUseFails(run("loongarch64", extraction, 0), "not built for", "loongarch64");
        assertEquals(Set.of(), listing());
    }

    // A policy that refuses loading is no refusal of native access: the message must not send the
    // user to an option that would change nothing. JDK 24 removed the security manager.
    @Test
    public void aSecurityManagerRefusingTheLibraryIsNotTakenForNativeAccess() throws Exception {
        assumeTrue("no security manager on JDK " + Runtime.version().feature(),
                   Runtime.version().feature() < 24);
        options = List.of("-Djava.security.manager=allow", "-Dstartutil.driver.unavailable=true",
                          "-Dstartutil.driver.refuseLinking=true");
        String out = run("refused", extraction, 0);
        assertEveryUseFails(out, "refused to load", "is not permitted");
        assertFalse(out, out.contains("native-access"));
        assertEquals(Set.of(), listing());
    }

    /**
     * What {@link JarDriver} printed in a JVM without the library: each call of either method
     * threw an UnsatisfiedLinkError naming the reason, and DetachedProcess says it is unavailable.
     */
    static void assertEveryUseFails(String out, String... reason) {
        for (String call : List.of("path1", "line1", "path2", "line2")) {
            String threw = printed(out, call);
            assertTrue(call + " " + threw, threw.startsWith(
                "java.lang.UnsatisfiedLinkError caused by java.lang.UnsatisfiedLinkError: "));
            for (String part : reason) {
                assertTrue("'" + part + "' not named by " + call + ": " + threw, threw.contains(part));
            }
        }
        assertEquals(out, "false", printed(out, "available"));
        for (String part : reason) {
            assertTrue("'" + part + "' not named: " + out, printed(out, "reason").contains(part));
        }
        assertTrue(out, printed(out, "start").startsWith(
                            "java.io.IOException caused by java.lang.UnsatisfiedLinkError: "));
    }

    private static String printed(String out, String call) {
        for (String line : out.split("\n")) {
            if (line.startsWith(call + " ")) return line.substring(call.length() + 1);
        }
        throw new AssertionError("nothing printed for " + call + ": " + out);
    }

    @Test
    public void noexecDirectoryIsNamedAsSuchWithTheProperty() throws Exception {
        // A tmpfs mounted noexec over the directory, in a mount namespace of the JVM's own.
        start("noexec", extraction, "unshare", "--mount", "sh", "-c",
              "mount -t tmpfs -o noexec,size=16m startutil-noexec \"$0\" && exec \"$@\"",
              extraction.toString());
        String error = finish("noexec", 1);
        assertTrue(error, error.contains(
                              extraction + " seems to be mounted noexec: set -Dstartutil.tmpdir="));
        String mounts = Files.readString(Paths.get("/proc/self/mountinfo"));
        assertFalse("the mount leaked out: " + mounts, mounts.contains(extraction.toString()));
        assertEquals(Set.of(), listing());
    }

    /** Starts a JVM with the dist jar and the driver on its class path, launching the probe. */
    private void start(String tag, Path directory, String... prefix) throws IOException {
        List<String> command = new ArrayList<>(List.of(prefix));
        String classPath = distJar() + File.pathSeparator + System.getProperty("startutil.driver");
        command.addAll(List.of(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                               "--enable-native-access=ALL-UNNAMED",
                               "-Dstartutil.tmpdir=" + directory));
        command.addAll(options);
        command.addAll(List.of("-cp", classPath,
                               JarDriver.class.getName(), Probe.path() + " " + tag));
        jvms.put(tag, new ProcessBuilder(command).redirectOutput(output(tag, "out").toFile())
                     .redirectError(output(tag, "err").toFile()).start());
    }

    /** Awaits the JVM of this tag: its stdout, or its stderr if it was to fail. */
    private String finish(String tag, int exitCode) throws Exception {
        Process jvm = jvms.get(tag);
        assertTrue("JVM " + tag + " still running after 30 s", jvm.waitFor(30, TimeUnit.SECONDS));
        String err = Files.readString(output(tag, "err"));
        assertEquals("exit status of JVM " + tag + ": " + err, exitCode, jvm.exitValue());
        return exitCode == 0 ? Files.readString(output(tag, "out")) : err;
    }

    private String run(String tag, Path directory, int exitCode) throws Exception {
        start(tag, directory);
        return finish(tag, exitCode);
    }

    private Path output(String tag, String stream) {
        return reports.directory().resolve(tag + "." + stream);
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

    private static File distJar() {
        return new File(System.getProperty("startutil.jar", "-Dstartutil.jar is not set"));
    }
}
