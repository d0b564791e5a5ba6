import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.LocalDateTime;
import java.time.ZoneOffset;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipOutputStream;

/**
 * Writes a jar whose bytes depend only on the files it holds: entries in name order (the
 * manifest first, as JarInputStream expects), each with the same time and no owner, mode or
 * time zone, whatever folder, clock or user built it. The JDK's jar tool stamps the manifest
 * with the time of the build and takes entry times from the file system.
 *
 * <p>Usage: {@code ReproducibleJar <jar> <seconds since 1970> <manifest> <folder>...}; every
 * file under each folder is stored under its path relative to that folder.
 */
public final class ReproducibleJar {
    private ReproducibleJar() {}

    public static void main(String[] args) throws IOException {
        if (args.length < 4) {
            System.err.println(
                "usage: ReproducibleJar <jar> <epoch seconds> <manifest> <folder>...");
            System.exit(2);
        }
        // A local time in UTC is stored as it is: no time zone of the build machine enters.
        LocalDateTime time =
            LocalDateTime.ofEpochSecond(Long.parseLong(args[1]), 0, ZoneOffset.UTC);
        Map<String, Path> entries = new TreeMap<>();
        for (int i = 3; i < args.length; ++i) collect(Paths.get(args[i]), entries);
        Path jar = Paths.get(args[0]);
        try (OutputStream file = Files.newOutputStream(jar);
             ZipOutputStream out = new ZipOutputStream(file)) {
            write(out, "META-INF/", null, time);
            write(out, "META-INF/MANIFEST.MF", Paths.get(args[2]), time);
            for (Map.Entry<String, Path> entry : entries.entrySet()) {
                if (entry.getKey().equals("META-INF/")) continue;
                write(out, entry.getKey(), entry.getValue(), time);
            }
        }
    }

    /** Every file and folder under root, by its name in the jar; a folder's name ends in '/'. */
    private static void collect(Path root, Map<String, Path> entries) throws IOException {
        List<Path> paths = new ArrayList<>();
        try (Stream<Path> walk = Files.walk(root)) {
            walk.filter(p -> !p.equals(root)).forEach(paths::add);
        }
        for (Path path : paths) {
            String name = root.relativize(path).toString().replace('\\', '/');
            boolean folder = Files.isDirectory(path);
            if (folder) name += "/";
            if (name.startsWith("META-INF/MANIFEST.MF")) {
                throw new IOException(path + ": the manifest is given on its own");
            }
            // Folders may be shared; a file may not.
            if (entries.put(name, folder ? null : path) != null) {
                throw new IOException(name + " comes from two folders");
            }
        }
    }

    private static void write(ZipOutputStream out, String name, Path content, LocalDateTime time)
        throws IOException {
        ZipEntry entry = new ZipEntry(name);
        entry.setTimeLocal(time);
        if (content == null) {  // a folder: stored, as the jar tool stores it
            entry.setMethod(ZipEntry.STORED);
            entry.setSize(0);
            entry.setCrc(0);
        }
        out.putNextEntry(entry);
        if (content != null) Files.copy(content, out);
        out.closeEntry();
    }
}
