package velquon.zy.drav.sdk.util;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.URL;
import java.nio.file.DirectoryIteratorException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Set;

/**
 * Loads the native library of {@link ServerStartUtility}: the file that {@code startutil.library}
 * names, else a private copy of the library that the jar carries for this system, else, for a
 * system the jar carries nothing for, the first one in {@code java.library.path}.
 */
final class NativeLibrary {
    /** Names the directory that the jar's library is copied to; {@code java.io.tmpdir} if unset. */
    static final String DIRECTORY_PROPERTY = "startutil.tmpdir";
    /** Names the one library file to load, instead of the jar's or java.library.path's. */
    static final String LIBRARY_PROPERTY = "startutil.library";

    private static final String COPY_PREFIX = "StartUtil-";
    /** The architectures whose jar folder has the name that os.arch gives them (arm: armhf). */
    private static final Set<String> SAME_NAME_ARCHES =
        Set.of("ppc64le", "s390x", "riscv64", "arm");
    // Copying and loading take milliseconds, so a copy this old that can still be deleted is not
    // about to be loaded; a loaded one cannot be deleted on Windows.
    private static final long STALE_AFTER_MILLIS = 10 * 60 * 1000;

    private NativeLibrary() {}

    /**
     * Loads the library; where it came from: the jar entry's URL or the loaded file's path.
     *
     * @throws UnsatisfiedLinkError why no library could be loaded
     */
    static String load() {
        String os = System.getProperty("os.name");
        String arch = System.getProperty("os.arch");
        String system = os + " (" + arch + ")";
        String chosen = System.getProperty(LIBRARY_PROPERTY, "");
        if (!chosen.isEmpty()) return loadNamedFile(chosen, system);
        String fromJar;
        try {
            String resource = packedLibrary(os, arch);
            URL packed = NativeLibrary.class.getResource("/" + resource);
            if (packed != null) {
                // The jar's own library, made for this class, wins over any installed elsewhere.
                fromJar = loadPackedCopy(resource);
                if (fromJar == null) return packed.toString();
                throw new UnsatisfiedLinkError("StartUtil: no native library could be loaded on "
                                               + system + ".\n  the jar's own copy: " + fromJar);
            }
            fromJar = "the jar holds no " + resource;
        } catch (UnsupportedOperationException e) {
            fromJar = e.getMessage();
        }
        return loadFromLibraryPath(system, "  1. the jar's own copy: " + fromJar + "\n");
    }

    /** Loads exactly the file that the property names; its absolute path. */
    private static String loadNamedFile(String name, String system) {
        String failed;
        try {
            Path file = Paths.get(name).toAbsolutePath();
            if (Files.isRegularFile(file)) {
                loadFile(file);
                return file.toString();
            }
            failed = "no such file: " + file;
        } catch (InvalidPathException e) {
            failed = "not a file name: " + e.getMessage();
        } catch (UnsatisfiedLinkError e) {
            if (e.getCause() instanceof RuntimeException) throw e;  // refused by loadFile
            failed = e.getMessage();
        }
        throw new UnsatisfiedLinkError("StartUtil: no native library could be loaded on " + system
                                       + ".\n  -D" + LIBRARY_PROPERTY + "=" + name + ": " + failed);
    }

    /**
     * Loads the first library of this system's file name in the directories of
     * java.library.path, in their order, as System.loadLibrary would, but by its path, so that
     * the loaded file is known: that path. The error names the ways tried before, then this one.
     */
    private static String loadFromLibraryPath(String system, String triedBefore) {
        String name = System.mapLibraryName("StartUtil");
        String path = System.getProperty("java.library.path", "");
        String failed = "no " + name + " in " + (path.isEmpty() ? "an empty path" : path);
        for (String directory : path.split(File.pathSeparator)) {
            if (directory.isEmpty()) continue;
            try {
                Path file = Paths.get(directory, name).toAbsolutePath();
                if (!Files.isRegularFile(file)) continue;
                try {
                    loadFile(file);
                    return file.toString();
                } catch (UnsatisfiedLinkError e) {
                    if (e.getCause() instanceof RuntimeException) throw e;  // refused by loadFile
                    // Like System.loadLibrary, the first file found is the one: a later one
                    // may be as wrong (another architecture, another library).
                    failed = "cannot load " + file + ": " + e.getMessage();
                    break;
                }
            } catch (InvalidPathException e) {
                // No file can be there: System.loadLibrary would not find one either.
            }
        }
        throw new UnsatisfiedLinkError("StartUtil: no native library could be loaded on " + system
                                       + ".\n" + triedBefore + "  2. java.library.path: " + failed);
    }

    /**
     * The jar entry that holds the library for a system, given as {@code os.name} and
     * {@code os.arch} report it: {@code linux-x86_64/libStartUtil.so},
     * {@code linux-aarch64/libStartUtil.so}, {@code linux-ppc64le/libStartUtil.so},
     * {@code linux-s390x/libStartUtil.so}, {@code linux-riscv64/libStartUtil.so},
     * {@code linux-arm/libStartUtil.so} (armhf), {@code linux-x86/libStartUtil.so} (i386),
     * {@code windows-x86_64/StartUtil.dll} or {@code windows-aarch64/StartUtil.dll}.
     *
     * @throws UnsupportedOperationException for any other system or architecture
     */
    static String packedLibrary(String osName, String osArch) {
        // A 32-bit x86 JVM says i386 on Linux, x86 on Windows.
        String arch = osArch.equals("amd64") || osArch.equals("x86_64")    ? "x86_64"
                      : osArch.equals("aarch64") || osArch.equals("arm64") ? "aarch64"
                      : osArch.equals("i386") || osArch.equals("x86")      ? "x86"
                      : SAME_NAME_ARCHES.contains(osArch)                  ? osArch
                                                                           : null;
        if (arch != null && osName.startsWith("Linux")) return "linux-" + arch + "/libStartUtil.so";
        if (osName.startsWith("Windows") && ("x86_64".equals(arch) || "aarch64".equals(arch))) {
            return "windows-" + arch + "/StartUtil.dll";
        }
        throw new UnsupportedOperationException("StartUtil is not built for " + osName + " on "
                                                + osArch);
    }

    /** Copies the jar's library to a new file of its own and loads it; null, or why it failed. */
    private static String loadPackedCopy(String resource) {
        boolean windows = resource.endsWith(".dll");
        String suffix = resource.substring(resource.lastIndexOf('.'));
        Path directory = extractionDirectory();
        Path copy = null;
        boolean loaded = false;
        try (InputStream library = NativeLibrary.class.getResourceAsStream("/" + resource)) {
            if (library == null) return "the jar holds no " + resource;
            removeStaleCopies(directory, suffix);
            // A new file, created exclusively: nobody else can have planted it or opened it.
            copy = Files.createTempFile(directory, COPY_PREFIX, suffix, ownerOnly());
            try (OutputStream out = Files.newOutputStream(copy)) {
                library.transferTo(out);
            }
            loadFile(copy);
            loaded = true;
            return null;
        } catch (IOException e) {
            return "cannot copy " + resource + " into " + directory + ": " + e
                + "; set -D" + DIRECTORY_PROPERTY + "=<directory> to a writable directory";
        } catch (UnsatisfiedLinkError e) {
            if (e.getCause() instanceof RuntimeException) throw e;  // refused by loadFile
            return "cannot load the copy: " + e.getMessage() + advice(e, directory);
        } finally {
            if (copy != null) discard(copy, loaded && windows);
        }
    }

    // Once mapped, a Linux library needs no file. A loaded DLL cannot be deleted while the JVM
    // runs, and seldom at its exit: removeStaleCopies of a later run removes it then.
    private static void discard(Path copy, boolean loadedDll) {
        if (loadedDll) {
            copy.toFile().deleteOnExit();
            return;
        }
        try {
            Files.deleteIfExists(copy);
        } catch (IOException e) {
            // Left to removeStaleCopies of a later run.
        }
    }

    private static Path extractionDirectory() {
        String directory = System.getProperty(DIRECTORY_PROPERTY, "");
        if (directory.isEmpty()) directory = System.getProperty("java.io.tmpdir");
        return Paths.get(directory).toAbsolutePath();
    }

    private static FileAttribute<?>[] ownerOnly() {
        if (!FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            return new FileAttribute<?>[0];  // Windows: the directory's ACL, the user's own %TEMP%
        }
        return new FileAttribute<?>[] {
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"))};
    }

    /** Deletes copies that earlier runs left behind and that no running JVM has loaded. */
    private static void removeStaleCopies(Path directory, String suffix) {
        long staleBefore = System.currentTimeMillis() - STALE_AFTER_MILLIS;
        try (DirectoryStream<Path> copies =
                 Files.newDirectoryStream(directory, COPY_PREFIX + "[0-9]*" + suffix)) {
            for (Path copy : copies) {
                try {
                    if (Files.getLastModifiedTime(copy).toMillis() < staleBefore) {
                        Files.delete(copy);
                    }
                } catch (IOException inUseOrGone) {
                    // Loaded by a running JVM on Windows, someone else's, or already removed.
                }
            }
        } catch (IOException | DirectoryIteratorException e) {
            // The copy that follows reports what is wrong with the directory.
        }
    }

    /**
     * System.load, with a refusal turned into the documented error: an UnsatisfiedLinkError
     * caused by the refusal, which stops the loader, as any other way would meet it too.
     */
    private static void loadFile(Path library) {
        try {
            System.load(library.toString());
        } catch (IllegalCallerException e) {
            // The VM refuses native access to this module (JDK 22 and later).
            throw nativeAccessDenied(NativeLibrary.class.getModule(), e);
        } catch (RuntimeException e) {
            throw loadRefused(library, e);
        }
    }

    /** The error for a JVM that refuses to load a library for another reason than native access. */
    static UnsatisfiedLinkError loadRefused(Path library, RuntimeException refusal) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(
            "StartUtil: the JVM refused to load " + library + " (" + refusal
            + "), for example by its security manager's policy.");
        error.initCause(refusal);
        return error;
    }

    /**
     * The documented error for a VM that will not load native code for a class in this module:
     * it names the option that grants native access there, the module's name on the module
     * path, {@code ALL-UNNAMED} on the class path.
     */
    static UnsatisfiedLinkError nativeAccessDenied(Module module, RuntimeException refusal) {
        String grant = module.isNamed()
            ? "start the JVM with --enable-native-access=" + module.getName()
                  + " (ALL-UNNAMED covers only the class path)"
            : "start the JVM with --enable-native-access=ALL-UNNAMED, or give the application's"
                  + " executable jar the manifest attribute \"Enable-Native-Access: ALL-UNNAMED\"";
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(
            "StartUtil: the JVM refused native access to "
            + (module.isNamed() ? "module " + module.getName() : "the class path") + " ("
            + refusal + ").\n  To grant it, " + grant
            + "; a library cannot grant it to itself.");
        error.initCause(refusal);
        return error;
    }

    /** What to do about a copy that was written but could not be mapped. */
    private static String advice(UnsatisfiedLinkError e, Path directory) {
        String message = String.valueOf(e.getMessage());
        if (!message.contains("failed to map segment") && !message.contains("not permitted")) {
            return "";
        }
        return "\n     " + directory + " seems to be mounted noexec: set -D" + DIRECTORY_PROPERTY
            + "=<directory> to a directory whose file system allows executing";
    }
}
