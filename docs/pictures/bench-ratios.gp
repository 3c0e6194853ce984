# The benchmark plot: korvane's decode time against its peers, from
# bench-ratios.dat. scripts/pictures.sh sets the output file.
set terminal svg size 820,400 dynamic font "DejaVu Sans,11" noenhanced background "white"
set title "cypher1 decode, korvane's CPU time / the peer's (below 1: korvane is faster)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:1.2]
set ytics 0.2
set key top right
set xtics rotate by -15 scale 0
set arrow from graph 0, first 1 to graph 1, first 1 nohead dashtype 2 lc rgb "#aa0000"
plot datafile using 2:xtic(1) title "binaries" lc rgb "#6fa8dc", \
     "" using 3 title "half-erased firmware" lc rgb "#f6b26b"
