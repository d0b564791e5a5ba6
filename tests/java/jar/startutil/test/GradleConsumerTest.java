package startutil.test;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.Map;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * A Gradle project that names the library by its coordinates gets it, offline, from the
 * repository the build laid out, and the program it builds starts a detached child.
 */
public class GradleConsumerTest {
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
        Path project = Files.createDirectory(reports.directory().resolve("project"));
        for (String file : List.of("build.gradle", "settings.gradle")) {
            Files.copy(Consumers.sources("gradle").resolve(file), project.resolve(file));
        }
        Path repository = Paths.get(Consumers.property("startutil.maven.repository"));
        List<String> gradle = List.of(
            Consumers.property("startutil.gradle"), "--offline", "--no-daemon", "--quiet",
            "-Pstartutil.repository=" + repository.toUri(),
            "-Pstartutil.version=" + Consumers.property("startutil.version"),
            "-Pstartutil.sources=" + Consumers.sources("maven/src/main/java"),
            "-Pstartutil.command=" + Probe.path() + " gradle", "run");
        // Gradle's caches are kept between runs in the build tree, not in the user's home.
        Map<String, String> environment =
            Map.of("GRADLE_USER_HOME", Consumers.property("startutil.gradle.home"), "JAVA_HOME",
                   System.getProperty("java.home"), "GRADLE_OPTS", "-XX:TieredStopAtLevel=1");
        String output = Consumers.run(gradle, environment, project,
                                      reports.directory().resolve("gradle.log"), 120_000);

        Consumers.assertStartedDetached(output, "unnamed", "gradle", reports);
    }
}
