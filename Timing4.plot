set output 'Timing4.svg
set terminal svg
set multiplot
set grid
set title "Clients scheduling latency"
set xlabel "audio cycles"
set ylabel "usec"
plot "/tmp/tonvik-pulse-dcUfmE/profiler.log" using 9 title "pacat/51" with lines
unset multiplot
unset output
