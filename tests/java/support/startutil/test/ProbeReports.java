package startutil.test;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * The directory probes report into. Every probe a test starts is accounted for here: its report
 * is awaited with a deadline, and one that lingers is killed by the pid it reported.
 */
public final class ProbeReports {
    private final Path directory;

    public ProbeReports(Path directory) {
        this.directory = directory;
    }

    /** The directory the test JVM was given in STARTUTIL_PROBE_DIR, emptied. */
    public static ProbeReports ofThisJvm() throws IOException {
        String name = System.getenv("STARTUTIL_PROBE_DIR");
        if (name == null) throw new AssertionError("STARTUTIL_PROBE_DIR is not set for the test JVM");
        return fresh(Paths.get(name));
    }

    public static ProbeReports fresh(Path directory) throws IOException {
        if (Files.exists(directory)) {
            try (Stream<Path> files = Files.walk(directory)) {
                for (Path file : (Iterable<Path>) files.sorted(Comparator.reverseOrder())::iterator) {
                    if (!file.equals(directory)) Files.delete(file);
                }
            }
        }
        Files.createDirectories(directory);
        return new ProbeReports(directory);
    }

    public Path directory() {
        return directory;
    }

    /** Waits until exactly {@code count} reports are there; fails at the deadline or on more. */
    public List<ProbeReport> await(int count, long timeoutMillis) throws IOException {
        long deadline = System.nanoTime() + Deadlines.scaled(timeoutMillis) * 1_000_000L;
        List<Path> files = reportFiles();
        while (files.size() < count && System.nanoTime() < deadline) {
            Deadlines.pause();
            files = reportFiles();
        }
        List<ProbeReport> reports = new ArrayList<>();
        for (Path file : files) reports.add(ProbeReport.read(file));
        if (files.size() != count) {
            throw new AssertionError("expected " + count + " probe reports, found " + files.size()
                                     + ": " + reports);
        }
        return reports;
    }

    private List<Path> reportFiles() throws IOException {
        try (Stream<Path> files = Files.list(directory)) {
            return files.filter(f -> f.toString().endsWith(".report"))
                .sorted()
                .collect(Collectors.toList());
        }
    }

    /** Kills every probe that reported and is still running, and waits for each to end. */
    public void endLingering() throws IOException {
        for (ProbeReport report : reportsOnDisk()) ProcessTable.kill(report.pid());
    }

    private List<ProbeReport> reportsOnDisk() throws IOException {
        List<ProbeReport> reports = new ArrayList<>();
        if (!Files.isDirectory(directory)) return reports;
        for (Path file : reportFiles()) reports.add(ProbeReport.read(file));
        return reports;
    }
}
