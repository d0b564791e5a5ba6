package startutil.test;

import static org.junit.Assert.assertEquals;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.Map;
import java.util.spi.ToolProvider;
import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/**
 * A module that requires the library's module, compiled and run on the module path with nothing
 * but the dist jar: the loader reads the library packed in its named module and launches.
 */
public class ModuleConsumerTest {
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
    public void moduleRequiringTheLibraryStartsADetachedChildFromTheModulePath() throws Exception {
        String jar = Consumers.property("startutil.jar");
        Path classes = reports.directory().resolve("classes");
        ByteArrayOutputStream diagnostics = new ByteArrayOutputStream();
        PrintStream sink = new PrintStream(diagnostics, true, "UTF-8");
        int status = ToolProvider.findFirst("javac").orElseThrow().run(
            sink, sink, "--release", "11", "-Werror", "--module-path", jar, "-d",
            classes.toString(), Consumers.sources("modular/module-info.java").toString(),
            Consumers.sources("maven/src/main/java/startutil/consumer/Main.java").toString());
        assertEquals("javac: " + diagnostics.toString("UTF-8"), 0, status);

        String java = Paths.get(System.getProperty("java.home"), "bin", "java").toString();
        String output = Consumers.run(
            List.of(java, "--enable-native-access=velquon.zy.drav.sdk.util", "--module-path",
                    jar + File.pathSeparator + classes, "--module",
                    "startutil.consumer/startutil.consumer.Main", Probe.path() + " module"),
            Map.of(), reports.directory(), reports.directory().resolve("java.log"), 30_000);

        Consumers.assertStartedDetached(
            output, "velquon.zy.drav.sdk.util@" + Consumers.property("startutil.version"),
            "module", reports);
    }
}
