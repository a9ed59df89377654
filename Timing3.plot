set output 'Timing3.svg
set terminal svg
set multiplot
set grid
set title "Clients end date"
set xlabel "audio cycles"
set ylabel "usec"
plot "/tmp/tonvik-pulse-dcUfmE/profiler.log" using 1 title "Audio period" with lines, "/tmp/tonvik-pulse-dcUfmE/profiler.log" using 8 title "pacat/51" with lines
unset multiplot
unset output
