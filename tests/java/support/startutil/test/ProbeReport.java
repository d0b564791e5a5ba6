package startutil.test;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;

/** One probe's account of how it was started, as tests/common/probe_report.h defines it. */
public final class ProbeReport {
    private final Map<String, String> values;

    private ProbeReport(Map<String, String> values) {
        this.values = values;
    }

    public static ProbeReport read(Path file) throws IOException {
        Map<String, String> values = new HashMap<>();
        for (String line : new String(Files.readAllBytes(file), StandardCharsets.UTF_8).split("\n")) {
            int equals = line.indexOf('=');
            if (equals > 0) values.put(line.substring(0, equals), decode(line.substring(equals + 1)));
        }
        return new ProbeReport(values);
    }

    /** Undoes the probe's %XX escapes (tests/common/probe_report.h); the bytes are UTF-8. */
    static String decode(String value) {
        byte[] raw = value.getBytes(StandardCharsets.UTF_8);
        ByteArrayOutputStream out = new ByteArrayOutputStream(raw.length);
        for (int i = 0; i < raw.length; ++i) {
            if (raw[i] == '%' && i + 2 < raw.length) {
                out.write(Integer.parseInt(new String(raw, i + 1, 2, StandardCharsets.US_ASCII), 16));
                i += 2;
            } else {
                out.write(raw[i]);
            }
        }
        return out.toString(StandardCharsets.UTF_8);
    }

    public String get(String key) {
        return values.get(key);
    }

    public long number(String key) {
        String value = values.get(key);
        if (value == null) throw new AssertionError("report has no " + key + ": " + values);
        return Long.parseLong(value);
    }

    public long pid() {
        return number("pid");
    }

    public List<String> argv() {
        List<String> argv = new ArrayList<>();
        long argc = number("argc");
        for (int i = 0; i < argc; ++i) argv.add(values.get("argv." + i));
        return argv;
    }

    /** Open descriptor number to what it refers to. */
    public Map<Integer, String> descriptors() {
        Map<Integer, String> fds = new TreeMap<>();
        values.forEach((key, value) -> {
            if (key.startsWith("fd.")) fds.put(Integer.parseInt(key.substring(3)), value);
        });
        return fds;
    }

    @Override
    public String toString() {
        return new TreeMap<>(values).toString();
    }
}
