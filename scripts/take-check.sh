#!/usr/bin/env bash
# Checks a take that was split into shards: every frame of the take is in exactly one
# shard's report, none failed, and each stitched or skipped frame has its panorama.
#
#   scripts/take-check.sh [--all-stitched] REPORT... -- QUADSTITCH_BATCH_OPTIONS
#
# REPORT: shard reports (JSON from quadstitch-batch --report) or folders of them (*.json).
# The quadstitch-batch options are those the shards ran with (--shard and --report left
# out); -d, -o, -i, --frames and --format say which frames the take has and where their
# panoramas belong. --all-stitched: frames skipped as already done count as a fault
# (for a fresh output folder, where every frame must have been stitched by its shard).
#
# Exit status: 0 when the take is complete, 2 when it is not, 1 for a bad command line.
set -euo pipefail

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}" >&2; exit "${1:-1}"; }

all_stitched=0
reports=()
while [ $# -gt 0 ]; do
    case "$1" in
        --all-stitched) all_stitched=1 ;;
        --) shift; break ;;
        -h|--help) usage 0 ;;
        -*) echo "take-check: unknown option '$1'" >&2; usage ;;
        *) reports+=("$1") ;;
    esac
    shift
done
[ ${#reports[@]} -gt 0 ] || { echo "take-check: no reports given" >&2; usage; }

# The options of quadstitch-batch that name the frames and their panoramas, in the
# forms its parser accepts: "-d DIR", "-dDIR", "--working-directory DIR", "--working-directory=DIR".
workdir=. outdir='' ext=.png frames=all format=png
while [ $# -gt 0 ]; do
    opt="$1" value=
    case "$opt" in
        --*=*) value="${opt#*=}"; opt="${opt%%=*}" ;;
        -[doi]?*) value="${opt:2}"; opt="${opt:0:2}" ;;
        -[doi]|--working-directory|--output-directory|--image-file-extension|--frames|--format)
            [ $# -ge 2 ] || { echo "take-check: $opt needs a value" >&2; exit 1; }
            value="$2"; shift ;;
    esac
    case "$opt" in
        -d|--working-directory) workdir="$value" ;;
        -o|--output-directory) outdir="$value" ;;
        -i|--image-file-extension) ext="$value" ;;
        --frames) frames="$value" ;;
        --format) format="$value" ;;
        --shard|--report) echo "take-check: give the options without $opt" >&2; exit 1 ;;
    esac
    shift
done
[ -n "$outdir" ] || outdir="$workdir"
[ -d "$workdir" ] || { echo "take-check: no working directory '$workdir'" >&2; exit 1; }

files=()
for r in "${reports[@]}"; do
    if [ -d "$r" ]; then
        for f in "$r"/*.json; do [ -e "$f" ] && files+=("$f"); done
    else
        files+=("$r")
    fi
done
[ ${#files[@]} -gt 0 ] || { echo "take-check: no *.json reports in ${reports[*]}" >&2; exit 2; }

# The JSON is read with the core perl module JSON::PP (perl comes with GNU parallel).
exec perl -MJSON::PP -e '
    use strict; use warnings;
    my ($workdir, $outdir, $ext, $frames, $format, $allStitched, @files) = @ARGV;
    my $faults = 0;
    sub fault { print STDERR "take-check: @_\n"; $faults++; }

    # The frames of the take: those with all four camera images, as quadstitch-batch finds them.
    my %expected;
    opendir(my $dh, $workdir) or die "take-check: cannot list $workdir: $!\n";
    my %cameras;
    for my $name (readdir $dh) {
        $cameras{$1}{$2} = 1 if $name =~ /^(\d{10})-([1-4])\Q$ext\E$/;
    }
    closedir $dh;
    for my $stem (keys %cameras) {
        $expected{$stem + 0} = 1 if keys %{$cameras{$stem}} == 4;
    }
    if ($frames =~ /^(\d+)$/) {
        %expected = ($1 + 0 => 1);
    } elsif ($frames =~ /^(\d+)-(\d+)$/) {
        my ($a, $b) = ($1, $2);
        %expected = map { $_ => 1 } grep { $_ >= $a && $_ <= $b } keys %expected;
    } elsif ($frames ne "all") {
        die "take-check: --frames \x27$frames\x27: expected all, N or A-B\n";
    }

    my (%seen, %count);
    for my $file (@files) {
        open(my $fh, "<", $file) or do { fault("cannot read report $file: $!"); next; };
        my $text = do { local $/; <$fh> };
        my $report = eval { decode_json($text) };
        if (!$report || ref $report->{frames} ne "ARRAY") {
            fault("$file is not a quadstitch-batch report");
            next;
        }
        for my $r (@{$report->{frames}}) {
            my $frame = $r->{frame};
            push @{$seen{$frame}}, $file;
            my $status = $r->{status} // "";
            $count{$status}++;
            my $error = $r->{error} // "";
            if ($status eq "failed") {
                fault("frame $frame failed in $file: $error");
            } elsif ($status eq "skipped" && $allStitched) {
                fault("frame $frame was skipped in $file, not stitched");
            } elsif ($status ne "ok" && $status ne "skipped") {
                fault("frame $frame has status \x27$status\x27 in $file");
            }
            if ($status eq "ok" || $status eq "skipped") {
                my $pano = sprintf("%s/%010d.%s", $outdir, $frame, $format);
                fault("frame $frame is $status in $file but $pano is missing") unless -s $pano;
            }
        }
    }
    for my $frame (sort { $a <=> $b } keys %seen) {
        my @in = @{$seen{$frame}};
        fault("frame $frame is in more than one report: @in") if @in > 1;
        fault("frame $frame is not a frame of the take in $workdir") unless $expected{$frame};
    }
    for my $frame (sort { $a <=> $b } keys %expected) {
        fault("frame $frame is in no report") unless $seen{$frame};
    }
    # A partial panorama is a hidden file beside the finished ones.
    if (opendir(my $oh, $outdir)) {
        for my $name (sort readdir $oh) {
            fault("leftover partial file $outdir/$name") if $name =~ /^\.\d{10}\..*partial/;
        }
        closedir $oh;
    }
    my $summary = join(", ", map { "$count{$_} $_" } sort keys %count);
    printf "take-check: %d frames expected, %d reports: %s; %s\n", scalar(keys %expected), scalar(@files),
        ($summary || "no frames"), ($faults ? "$faults faults" : "complete");
    exit($faults ? 2 : 0);
' "$workdir" "$outdir" "$ext" "$frames" "$format" "$all_stitched" "${files[@]}"
