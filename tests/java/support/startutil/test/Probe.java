package startutil.test;

import java.nio.file.Path;
import java.nio.file.Paths;

/** Where the probe program and the JVM that runs these tests are. */
public final class Probe {
    private Probe() {}

    public static Path binary() {
        String path = System.getProperty("startutil.probe");
        if (path == null) throw new AssertionError("-Dstartutil.probe=<startutil_probe> is not set");
        return Paths.get(path);
    }

    public static String path() {
        return binary().toString();
    }

    public static long jvmPid() {
        return ProcessHandle.current().pid();
    }
}
