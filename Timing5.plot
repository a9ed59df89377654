set output 'Timing5.svg
set terminal svg
set multiplot
set grid
set title "Clients duration"
set xlabel "audio cycles"
set ylabel "usec"
plot "/tmp/tonvik-pulse-dcUfmE/profiler.log" using 10 title "pacat/51" with lines
unset multiplot
unset output
