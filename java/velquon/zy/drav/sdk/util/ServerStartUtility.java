package velquon.zy.drav.sdk.util;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.Objects;

/**
 * Starts another program as a detached process and returns at once, on Linux and Windows.
 *
 * <p>The child runs on its own: nobody waits for it, it outlives the JVM, and it keeps the
 * caller's environment and working directory. On Windows it is created with
 * {@code CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP}, inherits no handle and gets no console
 * window. On Linux it leads a new session (so it has no controlling terminal), holds exactly
 * descriptors 0, 1 and 2, all on {@code /dev/null}, starts with every signal at its default
 * disposition and none blocked, and is started through a short-lived intermediate process, so
 * that it is never the JVM's child and leaves no zombie in the JVM.
 *
 * <p>The child's standard input, output and error are not the JVM's. On Linux they are
 * {@code /dev/null}: what the child writes is dropped and it reads end-of-file. On Windows they
 * are those of its own hidden console: what it writes is lost, and a child that reads standard
 * input waits for ever. Being the root of a new process group, the Windows child and everything
 * it starts have CTRL+C disabled.
 *
 * <p>Both methods may be called from any number of threads at once; each call works only on its
 * own text and the process it creates. Null, empty and blank texts start nothing and throw
 * nothing.
 *
 * <p>These two methods are the compatible interface: they echo, report a failure only as a line
 * on standard error and return nothing. A caller that needs to know whether the program started,
 * wants its pid, has an argument list rather than a command line, or must write nothing to the
 * process's output uses {@link DetachedProcess}, which starts programs in exactly the same way.
 *
 * <h2>Output</h2>
 *
 * <p>The echo and the failure line below are written by the native library straight to the
 * process's standard output and error (file descriptors 1 and 2 on Linux, the standard handles on
 * Windows), not through {@link System#out} and {@link System#err}: {@link System#setOut} and
 * {@link System#setErr} do not capture them, and they may appear out of order with what Java has
 * buffered. The echo is the whole text, arguments included, so a secret passed as an argument
 * appears in the output. A line break at the end of a command line is not trimmed: it becomes
 * part of the last argument.
 *
 * <p>Each call first echoes its text to standard output, exactly as given (a line feed stays a
 * line feed, a lone surrogate becomes U+FFFD), with no line break added. It goes as UTF-8,
 * except to a Windows console, which gets it as UTF-16 so that it shows the characters whatever
 * its code page. On Windows the handle is the standard handle as it is at the call, so output
 * that a host sends elsewhere with {@code SetStdHandle} goes there too. Each echo and each
 * failure line is written whole: the library's own lines never interleave, and against other
 * writers each is one system write, which the system keeps whole up to its own limit (a pipe's
 * 4,096 bytes on Linux; pieces of 4,096 characters on a Windows console).
 *
 * <p>The methods return nothing and raise no exception of their own. A launch that fails (no
 * such program, not executable, a null or empty text) starts nothing and is reported only as one
 * line on standard error, for example {@code StartUtil: cannot start "app": No such file or
 * directory (error 2)}, ending in CR LF on Windows; the caller cannot tell it from a launch that
 * worked. The line is always exactly one line: in the quoted text and the system's message, each
 * control character and DEL shows as its Control Picture (a line feed as U+240A) and U+0085,
 * U+2028 and U+2029 as U+2424. It quotes at most 1000 characters of the text (then an ellipsis
 * and the text's length), and on Windows the system's message names the program where it has a
 * place for it (as the system found it, or {@code the program} when it cannot be told).
 * Nothing starts, and one such line says why, for a text that holds U+0000 ({@code the text
 * holds a NUL character}, error 22 on Linux, 87 on Windows: the system would see only the part
 * before it), for a Windows command line longer than the system takes (32,767 characters with
 * the terminator, a program path with its two quotes: error 206), and when there is no memory
 * for the text ({@code (a command of N characters)}, error 12 on Linux, 8 on Windows). The
 * library neither raises nor clears a Java exception: should the VM itself leave an
 * {@code OutOfMemoryError} pending when it cannot hand out the string's characters (HotSpot
 * leaves none), Java sees it when the method returns.
 *
 * <h2>Loading the native library</h2>
 *
 * <p>The class loads its library when it is initialised, trying in this order:
 *
 * <ol>
 *   <li>If the system property {@code startutil.library} is set: exactly the file it names
 *       (for example {@code -Dstartutil.library=/opt/app/lib/libStartUtil.so}), and nothing else.
 *   <li>The copy that the jar carries for the running system ({@code linux-x86_64},
 *       {@code linux-aarch64}, {@code linux-ppc64le}, {@code linux-s390x}, {@code linux-riscv64},
 *       {@code linux-arm} for armhf, {@code linux-x86} for i386, {@code windows-x86_64},
 *       {@code windows-aarch64}): written to a new file with owner-only permissions in the
 *       directory that the system property {@code startutil.tmpdir} names, or else in
 *       {@code java.io.tmpdir}, and loaded from there. Each JVM writes a file of its own and never
 *       loads one it did not create; the directory must be one in which other users cannot rename
 *       files (the user's own, or a sticky one such as {@code /tmp}). On Linux the file is
 *       deleted as soon as it is loaded. A loaded DLL cannot be deleted on Windows: each load
 *       removes the copies of earlier runs that no running JVM holds any more.
 *   <li>Only when the jar carries no library for the running system (the classes alone, or a
 *       system it is not built for): the first {@code libStartUtil.so} or {@code StartUtil.dll}
 *       found in the directories of {@code java.library.path}, in their order. A library
 *       installed there never takes the place of the jar's own.
 *   <li>Otherwise the library is unavailable: every call of either method throws an
 *       {@link UnsatisfiedLinkError} that names the system, the architecture and why each way
 *       tried failed. A directory on a file system mounted {@code noexec} (a common hardening of
 *       {@code /tmp}) is named as such: point {@code startutil.tmpdir} at another
 *       directory, for example {@code -Dstartutil.tmpdir=/var/lib/myapp/native}.
 * </ol>
 *
 * <p>Any number of JVMs and threads may load the class at the same time. Initialising the class
 * never throws: {@link DetachedProcess#isAvailable()} tells whether the library loaded,
 * {@link DetachedProcess#unavailableReason()} why not, and
 * {@link DetachedProcess#libraryLocation()} where it came from.
 *
 * <h2>Native access (JDK 24 and later)</h2>
 *
 * <p>Loading a native library is a restricted operation from JDK 24 on. Without permission the
 * JVM prints four {@code WARNING:} lines to standard error on the first call, and under
 * {@code --illegal-native-access=deny}, the announced future default, it refuses: every call
 * then throws an {@link UnsatisfiedLinkError} that names the option to give. A library cannot
 * grant native access to itself; the
 * application grants it where it starts the JVM:
 *
 * <ul>
 *   <li>jar on the class path: {@code java --enable-native-access=ALL-UNNAMED ...};
 *   <li>jar on the module path: {@code java --enable-native-access=velquon.zy.drav.sdk.util ...}
 *       (the other of the two options leaves the warning);
 *   <li>an executable jar run with {@code java -jar}: the attribute
 *       {@code Enable-Native-Access: ALL-UNNAMED} in that jar's own manifest (in this library's
 *       jar it has no effect);
 *   <li>a jlink image: {@code jlink --add-options=--enable-native-access=velquon.zy.drav.sdk.util};
 *   <li>a jpackage image: {@code jpackage --java-options --enable-native-access=ALL-UNNAMED}
 *       (or the module's name, for a modular application).
 * </ul>
 *
 * <p>JDK 17 to 23 accept the option silently, so one command line serves every JDK from 17.
 *
 * <h2>Where detachment ends</h2>
 *
 * <p>Linux:
 *
 * <ul>
 *   <li>The child stays in the JVM's cgroup. Stopping a systemd service with its default
 *       {@code KillMode=control-group} ends the child too.
 *   <li>A JVM that is process 1 of a container started without an init, or that is a child
 *       subreaper, becomes the parent of every orphan. The library reaps the children it started
 *       once they exit, from a thread of its own, and never any other child; orphans of other
 *       programs stay zombies until something reaps them, so run such containers with
 *       {@code --init} or another init process all the same. Children still running when the
 *       library is unloaded are left to the JVM.
 *   <li>A child killed by a signal that dumps no core ({@code SIGKILL}, {@code SIGTERM}, ...)
 *       after it was created but before its program was executed is taken for a started one:
 *       nothing is reported. If the short-lived intermediate process is killed instead, the call
 *       reports a failure when the child did not exist yet, and otherwise waits until the child
 *       has executed its program or ended and reports as for any launch.
 *   <li>A child stopped by {@code SIGSTOP} before its program is executed, or stuck in the kernel
 *       (an {@code execve} on a hung network file system), holds the calling thread until it
 *       goes on, as with every {@code vfork}-style launcher: the thread waits in the kernel with
 *       every signal blocked.
 * </ul>
 *
 * <p>Windows:
 *
 * <ul>
 *   <li>The child stays in the JVM's job object: a service wrapper or CI agent that closes its
 *       job with kill-on-close ends the child too. A job that allows silent breakaway does not
 *       hold the child at all.
 *   <li>A {@code .bat} or {@code .cmd} program is run by {@code cmd.exe}, which parses the whole
 *       command line again ({@code &}, {@code |}, {@code %VAR%}): a command line built from
 *       untrusted text is unsafe there.
 *   <li>For a command line the system, not the C runtime, finds the program. A name without a
 *       path is searched for in the folder of the JVM's own executable, then the current
 *       directory and the system folders, and only then on {@code PATH}, and gets {@code .exe}
 *       appended when it has no extension; Windows' documented rules append it to nothing else,
 *       but Wine appends it to paths too. The path given to {@code invokeNonBlockingCommand}
 *       is used as it is: no extension is appended and nothing is searched.
 *   <li>The child keeps the JVM's current directory open for as long as that folder is its own
 *       current directory: meanwhile the folder cannot be removed or renamed.
 * </ul>
 *
 * @since 1.0.0
 */
public final class ServerStartUtility {
    // Set only while this thread is inside startQuietly: the library then writes nothing and
    // reports the launch through launchOutcome instead.
    private static final ThreadLocal<Outcome> QUIET_LAUNCH = new ThreadLocal<>();

    // Where the library came from, or why it could not be loaded: the initialiser never throws,
    // so that every call, not only the first, can say why.
    private static final String LIBRARY_LOCATION;
    private static final UnsatisfiedLinkError UNAVAILABLE;

    static {
        String location = null;
        UnsatisfiedLinkError unavailable = null;
        try {
            location = NativeLibrary.load();
        } catch (UnsatisfiedLinkError e) {
            unavailable = e;
        } catch (RuntimeException | Error e) {
            unavailable = new UnsatisfiedLinkError("StartUtil: loading the native library failed: "
                                                   + e);
            unavailable.initCause(e);
        }
        LIBRARY_LOCATION = location;
        UNAVAILABLE = unavailable;
    }

    private ServerStartUtility() {}

    /**
     * Starts the program at {@code programPath} with no arguments, after echoing the path to
     * standard output; a failed launch is reported only on standard error.
     *
     * <p>The text is the file name alone, spaces included, with no quoting: it is not searched
     * on {@code PATH} and gets no default extension (Windows appends {@code .exe} to the program
     * of a command line, never to this path), and a relative path is taken from the working
     * directory. The child's only argument is the path itself: on Linux the program is executed
     * directly, without a shell; on Windows the path is the application name, and the command
     * line is the path in double quotes.
     *
     * @param programPath the program's file name; null, empty or blank starts nothing
     * @throws UnsatisfiedLinkError on every call, with the reason, when the native library could
     *     not be loaded
     * @since 1.0.0
     */
    public static void invokeNonBlockingCommand(String programPath) {
        requireLibrary();
        invokeNonBlockingCommand((Object) programPath);
    }

    /**
     * Starts a whole command line: its first word is the program, the rest its arguments. The
     * text is echoed to standard output first; a failed launch is reported only on standard error.
     *
     * <p>On Windows the system gets the text as it is, finds the program by its own rules and the
     * child's C runtime splits the arguments. On Linux the library splits the text by the same
     * rules of the Windows C runtime, so that one text gives the same arguments on both systems:
     * words are separated by blanks and tabs, double quotes group a word ({@code "a b"}),
     * {@code \"} is a literal quote and backslashes are literal unless they precede a quote. The
     * program is then searched on {@code PATH} as {@code execvp} does when its name has no slash.
     * No shell is ever involved on Linux: {@code $}, {@code ;}, {@code |}, {@code *} and
     * {@code ~} reach the child as written, and a script without a {@code #!} line is a failed
     * launch.
     *
     * <p>A program path that holds spaces must be quoted: {@code "C:\Program Files\app\server.exe"
     * --port 80}. Unquoted, Windows tries {@code C:\Program.exe} first, then {@code
     * C:\Program Files\app\server.exe}, so a file planted at such a place would run instead; Linux
     * reports the unquoted path as not found. {@link DetachedProcess#start(java.util.List)}
     * quotes an argument list into such a text.
     *
     * @param commandLine program and arguments; null, empty or blank starts nothing
     * @throws UnsatisfiedLinkError on every call, with the reason, when the native library could
     *     not be loaded
     * @since 1.0.0
     */
    public static void invokeNonBlockingCommandWithArgs(String commandLine) {
        requireLibrary();
        invokeNonBlockingCommandWithArgs((Object) commandLine);
    }

    // One native per name, so that they bind to the library's exports by their short names; the
    // parameter is a String or null, declared Object only to tell these from the public methods.
    private static native void invokeNonBlockingCommand(Object programPath);

    private static native void invokeNonBlockingCommandWithArgs(Object commandLine);

    /** Where the loaded library came from: a jar entry's URL or a file's path; null if none. */
    static String libraryLocation() {
        return LIBRARY_LOCATION;
    }

    /** Why the library could not be loaded; null once it has been. */
    static UnsatisfiedLinkError unavailable() {
        return UNAVAILABLE;
    }

    /**
     * Starts a command line as {@link #invokeNonBlockingCommandWithArgs(String)} does, but
     * silently: the pid of the started program, or the library's failure as an exception.
     *
     * @throws LaunchException if the library started nothing
     * @throws IOException if the library could not be loaded or reported no outcome
     */
    static long startQuietly(String commandLine) throws IOException {
        Objects.requireNonNull(commandLine, "commandLine");
        if (UNAVAILABLE != null) throw new IOException(UNAVAILABLE.getMessage(), UNAVAILABLE);
        Outcome outcome = new Outcome();
        QUIET_LAUNCH.set(outcome);
        try {
            invokeNonBlockingCommandWithArgs((Object) commandLine);
        } finally {
            QUIET_LAUNCH.remove();
        }
        if (!outcome.reported) {
            // A library that does not know the hooks has echoed the text and launched as usual.
            throw new IOException("StartUtil: the native library loaded from " + LIBRARY_LOCATION
                                  + " did not report how starting \"" + commandLine
                                  + "\" went (a library older than this class?); the program"
                                  + " may have started");
        }
        if (outcome.pid > 0) return outcome.pid;
        String message = outcome.failureLine != null
            ? new String(outcome.failureLine, StandardCharsets.UTF_8)
            // The VM had no memory for the library's line.
            : "StartUtil: cannot start \"" + commandLine + "\": error " + outcome.errorCode;
        throw new LaunchException(message, outcome.errorCode);
    }

    private static void requireLibrary() {
        if (UNAVAILABLE == null) return;
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(UNAVAILABLE.getMessage());
        error.initCause(UNAVAILABLE);
        throw error;
    }

    // The two hooks below are called by the native library only, on the thread inside one of
    // the natives: it looks them up by these names and descriptors, quietLaunch "()Z" and
    // launchOutcome "(J[BJ)V", so neither may be renamed, changed or removed as unused.

    /** Whether the library is to stay silent and report through launchOutcome. */
    @SuppressWarnings("unused")
    private static boolean quietLaunch() {
        return QUIET_LAUNCH.get() != null;
    }

    /** The outcome of a quiet launch: pid &gt; 0 started; else the failure line and code. */
    @SuppressWarnings("unused")
    private static void launchOutcome(long pid, byte[] failureLine, long errorCode) {
        Outcome outcome = QUIET_LAUNCH.get();
        if (outcome == null) return;
        outcome.pid = pid;
        outcome.failureLine = failureLine;
        outcome.errorCode = errorCode;
        outcome.reported = true;
    }

    /** What the library reported about one quiet launch on this thread. */
    private static final class Outcome {
        long pid;
        byte[] failureLine;
        long errorCode;
        boolean reported;
    }
}
