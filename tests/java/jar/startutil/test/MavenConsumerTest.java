package startutil.test;

import static org.junit.Assert.assertArrayEquals;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * A Maven project that names the library by its coordinates gets it, offline, from the repository
 * the build laid out, and the program it builds starts a detached child.
 */
public class MavenConsumerTest {
    private static final String GROUP_PATH = "velquon/zy/drav/sdk/startutil";

    private ProbeReports reports;

    @Before
    public void emptyReportDirectory() throws IOException {
        reports = ProbeReports.ofThisJvm();
    }

    @After
    public void endEveryProbe() throws IOException {
        reports.endLingering();
    }

    @Test
    public void projectResolvesTheLaidOutArtifactOfflineAndItsProgramStartsADetachedChild()
        throws Exception {
        Path project = copy(Consumers.sources("maven"), reports.directory().resolve("project"));
        Path repository = Paths.get(Consumers.property("startutil.maven.repository"));
        String version = Consumers.property("startutil.version");
        // Plugins copied from Debian's repository are kept between runs; the library never is,
        // so that it always comes from the layout under test.
        Path local = Paths.get(Consumers.property("startutil.maven.local"));
        deleteTree(local.resolve("velquon"));

        List<String> mvn = List.of(
            Consumers.property("startutil.maven"), "--offline", "--batch-mode", "--quiet",
            "--settings", project.resolve("settings.xml").toString(),
            "-Dmaven.repo.local=" + local,
            // Offline, Maven reads file: repositories only when told to: they are all there is.
            "-Daether.offline.protocols=file",
            "-Dstartutil.repository=" + repository.toUri(), "-Dstartutil.version=" + version,
            "-Dstartutil.command=" + Probe.path() + " maven", "compile", "exec:exec");
        // Maven's JVM runs for seconds: compiling its code fully is not worth it. It is this
        // test's JDK, which also compiles and runs the program.
        Map<String, String> quickStart =
            Map.of("MAVEN_OPTS", "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC",
                   "JAVA_HOME", System.getProperty("java.home"));
        String output = Consumers.run(mvn, quickStart, project,
                                      reports.directory().resolve("mvn.log"), 150_000);

        Consumers.assertStartedDetached(output, "unnamed", "maven", reports);
        String jar = GROUP_PATH + "/" + version + "/startutil-" + version + ".jar";
        assertArrayEquals("Maven's copy differs from the layout's",
                          Files.readAllBytes(repository.resolve(jar)),
                          Files.readAllBytes(local.resolve(jar)));
    }

    private static Path copy(Path from, Path to) throws IOException {
        try (Stream<Path> files = Files.walk(from)) {
            for (Path file : (Iterable<Path>) files::iterator) {
                Files.copy(file, to.resolve(from.relativize(file).toString()));
            }
        }
        return to;
    }

    private static void deleteTree(Path root) throws IOException {
        if (!Files.exists(root)) return;
        try (Stream<Path> files = Files.walk(root)) {
            for (Path file : (Iterable<Path>) files.sorted(Comparator.reverseOrder())::iterator) {
                Files.delete(file);
            }
        }
    }
}
